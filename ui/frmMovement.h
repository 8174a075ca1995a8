// The movement window: whether each sensor is true, live. A row per mouse
// (net counts, path, the stroke's angle, CPI over the distance typed in the
// box, name), a row per mouse of its strokes between two stops (strokes, the
// CPI over the distance D, the travel between them, its spread, the slow and
// fast strokes' speeds, the CPI variation) and a row per pair of mice moved
// together (ratio, lag, correlation). Made on first use (F4 in any rawmice
// window, or --movement), hidden by F4, Close or the title bar's close; Reset
// starts every mouse's movement and strokes afresh, before each stroke. The
// distance applies when Enter is pressed, and sets each mouse's CPI for
// speed to the CPI its strokes give, else to the one its first row shows
// where it went one way since the Reset. The figures are drawn five times a
// second while the mice move, and each pair compared once a second, one pair
// at a time in four steps. The raw input it receives while active goes on to
// the main window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measures/movement.h"
#include "measures/strokes.h"
#include "platform/vcl/vcl.h"
#include "platform/win32/win32.h"
#include "ui/measures_window.h"

namespace measures {
class Mouse;
}

class TForm5 : public MeasuresWindow {
  public:
    vcl::TLabel* lblDistance = nullptr;
    vcl::TEdit* edtDistance = nullptr;
    vcl::TButton* btnReset = nullptr;

    void FormCreate(vcl::TObject* Sender);
    // F4 hides it, F2 and F3 open the other measures windows, Enter takes the
    // distance typed in the box.
    void FormKeyDown(vcl::TObject* Sender, WORD& Key, vcl::TShiftState Shift) override;
    void btnResetClick(vcl::TObject* Sender);

    explicit TForm5(vcl::TComponent* Owner);
    ~TForm5() override;

    static const vcl::FormClass& form_class();

    // The measures changed: the mice's rows are drawn within refresh_ms and
    // the pairs compared again one at a time, each within compare_ms, while
    // shown.
    void measures_changed() override;
    // Compares every pair and draws, now.
    void refresh() override;
    // Draws what changed since the last drawing, now (normally every refresh_ms).
    void draw();
    // Compares every pair of numbered mice now (normally one pair at a time).
    void compare_pairs();
    // Does the next step of comparing a pair: takes the next pair whose mice
    // moved since it was compared, in turn, or takes a step of the one under
    // way (a part of it).
    void compare_step();
    // Compares the next pair of numbered mice, in turn, whole.
    void compare_next_pair();
    // How many times a pair was compared.
    std::uint64_t comparisons() const { return comparisons_; }
    // Takes the distance in the box: a valid one gives the CPI, which each
    // mouse's speeds are then read at (its strokes', else its single
    // stroke's where it went one way), an empty box none; anything else is
    // said in a note and changes nothing.
    void apply_distance();

    // What is on the window, for its tests: the mice's rows, their strokes'
    // and the pairs' as last drawn, the lines under the tables.
    const std::vector<measures::movement::Row>& mouse_rows() const { return mouse_rows_; }
    const std::vector<measures::strokes::Row>& stroke_rows() const { return stroke_rows_; }
    const std::vector<measures::movement::PairRow>& pair_rows() const { return pair_rows_; }
    const std::vector<std::string>& notes() const { return notes_; }
    // The top of the mice table's line `line` (-1: the column titles), of
    // the strokes table's and of the pairs table's.
    int mouse_line_top(int line) const;
    int stroke_line_top(int line) const;
    int pair_line_top(int line) const;
    // The top of the notes, and how many fit.
    int notes_top() const { return notes_top_; }
    static constexpr int max_notes = 8;

    // While the mice move, their figures are drawn this often (figures that
    // change faster cannot be read), and each pair compared this often.
    static constexpr int refresh_ms = 200;
    static constexpr int compare_ms = 1000;

  protected:
    const char* cost_name() const override { return "movement window"; }

  private:
    // Lists the numbered mice (the pairs are theirs) and returns their pairs'
    // count; the results start afresh when it changed.
    std::size_t pairs_of_numbered_mice();
    // The places in numbered_ of the pair at `index`.
    std::pair<std::size_t, std::size_t> pair_mice(std::size_t index) const;
    // Whether either mouse of the pair moved since the pair was compared.
    bool pair_stale(std::size_t index) const;
    // The movement generations of the pair's mice now.
    std::pair<std::uint64_t, std::uint64_t> pair_generations(std::size_t index) const;
    // A comparison's result for the pair, made when its mice were at `generations`.
    void take_pair(std::size_t index, const measures::movement::Pair& pair,
                   std::pair<std::uint64_t, std::uint64_t> generations);
    // How long after one pair's comparison the next one's comes.
    int compare_step_ms() const;
    // The rows of the pairs found together, drawn whole when they changed.
    void take_pair_results();
    std::vector<std::string> wanted_notes() const;
    void draw_all();

    std::vector<measures::movement::Row> mouse_rows_;
    std::vector<measures::strokes::Row> stroke_rows_;
    std::vector<measures::movement::PairRow> pair_rows_;
    std::vector<std::string> notes_;
    std::string distance_problem_;  // what was wrong with the text last applied
    std::vector<Column> mouse_columns_, stroke_columns_, pair_columns_;
    int row_height_ = 0;
    int notes_top_ = 0;
    std::size_t mouse_fit_ = 1;
    std::size_t pair_fit_ = 1;
    bool drawn_ = false;
    std::uint64_t drawn_generation_ = 0;
    std::uint64_t comparisons_ = 0;
    std::vector<std::pair<const measures::Mouse*, int>> numbered_;
    // Each pair's last comparison: its row when together, and its mice's
    // movement generations then.
    struct PairResult {
        bool compared = false;
        std::pair<std::uint64_t, std::uint64_t> generations;
        std::optional<measures::movement::PairRow> row;
    };
    std::vector<PairResult> pair_results_;
    std::size_t next_pair_ = 0;
    measures::movement::Comparison comparison_;
    std::optional<std::size_t> comparing_;  // the pair under way
    std::pair<std::uint64_t, std::uint64_t> comparing_generations_;
    vcl::Timer refresh_;
    vcl::Timer compare_timer_;
};

extern TForm5* Form5;
