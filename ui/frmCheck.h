// The check window: is each mouse all right? At the top the Next line, the
// first thing still to do and for which mice; below, a card per numbered
// mouse that has sent a packet: its colour, number and name, its verdict in
// a word and a colour, and a line per test (a mark in the verdict's colour,
// the verdict, the figure, the reason or what to do), from the figures the
// measures keep (measures/check.h), in whatever order the person does the
// tests. The box of each card takes the CPI the mouse is set to, the box
// below D (the travel between two stops), each applied by Enter. Save
// report writes the window as a PNG and the report beside it as JSON; Reset
// starts every measure afresh. Made on first use (F6 in any rawmice window,
// or --check), hidden by F6, Close or the title bar's close; Page Up and
// Page Down page through the cards when there are more mice than fit. The
// raw input it receives while active goes on to the main window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "measures/check.h"
#include "measures/store.h"
#include "platform/vcl/vcl.h"
#include "platform/win32/win32.h"
#include "ui/measures_window.h"

class TForm7 : public MeasuresWindow {
  public:
    static constexpr std::size_t card_slots = 4;
    // While the mice move, their cards are drawn this often at most: figures
    // that change faster cannot be read.
    static constexpr int refresh_ms = 200;

    // The box of each card slot: the CPI its mouse is set to.
    vcl::TEdit* edtCpi0 = nullptr;
    vcl::TEdit* edtCpi1 = nullptr;
    vcl::TEdit* edtCpi2 = nullptr;
    vcl::TEdit* edtCpi3 = nullptr;
    vcl::TLabel* lblDistance = nullptr;
    vcl::TEdit* edtDistance = nullptr;
    vcl::TButton* btnSaveReport = nullptr;
    vcl::TButton* btnReset = nullptr;

    void FormCreate(vcl::TObject* Sender);
    // F6 hides it, F2 to F5 open the other windows; Enter in a box applies
    // it; Page Up and Page Down page through the cards.
    void FormKeyDown(vcl::TObject* Sender, WORD& Key, vcl::TShiftState Shift) override;
    void btnSaveReportClick(vcl::TObject* Sender);
    void btnResetClick(vcl::TObject* Sender);

    explicit TForm7(vcl::TComponent* Owner);
    ~TForm7() override;

    static const vcl::FormClass& form_class();

    // The measures changed: what changed is drawn at the next frame, while shown.
    void measures_changed() override;
    void refresh() override;
    // Draws what changed since the last drawing, now (normally once a frame).
    void draw();
    // Drawings that found something to draw, and whole ones among them.
    std::uint64_t drawings() const { return drawings_; }
    std::uint64_t whole_drawings() const { return whole_drawings_; }

    // Takes the distance in the box (empty: none), or the CPI in the box of
    // card slot `slot` as the setting of the mouse shown there (empty: none);
    // what is wrong with the text is said in the note and changes nothing.
    void apply_distance();
    void apply_cpi_setting(std::size_t slot);
    // Writes the window as a PNG to `path` and the report beside it (the
    // same name with .json); false, with the reason in the note, when it
    // could not.
    bool save_report(const std::string& path);

    // What is on the window, for its tests: the cards as last drawn (the
    // mice shown, from the first one paged to), the Next line, the note.
    const std::vector<measures::check::Card>& cards() const { return cards_; }
    std::size_t first_card() const { return first_card_; }
    const std::string& next_line() const { return next_; }
    const std::string& note() const { return note_; }
    vcl::TEdit* cpi_box(std::size_t slot) const { return boxes_.at(slot); }
    // Where the card in slot `slot` is, its verdict's badge, and the mark of
    // its test `test`.
    static vcl::TRect card_rect(std::size_t slot);
    static vcl::TRect badge_rect(std::size_t slot);
    static vcl::TRect mark_rect(std::size_t slot, measures::check::Test test);
    // The part of the window a report's picture holds: the Next line, the
    // cards and the note.
    static vcl::TRect picture_rect();
    // The colour of a test's verdict and of a mouse's.
    static vcl::TColor colour(measures::check::Verdict verdict);
    static vcl::TColor colour(measures::check::MouseVerdict verdict);

  protected:
    const char* cost_name() const override { return "check window"; }
    std::string cost_details() const override;

  private:
    // What one card slot shows, cell by cell, so that a drawing redraws
    // only what changed.
    struct Shown {
        measures::Handle handle = 0;
        std::string header;  // "Mouse 0  First Mouse"
        measures::check::MouseVerdict verdict = measures::check::MouseVerdict::incomplete;
        std::array<std::array<std::string, 4>, measures::check::test_count> lines;
        std::array<measures::check::Verdict, measures::check::test_count> verdicts{};
    };

    // The text of a test line's cell `column`, cut to its width (measured
    // once a text); and the cell drawn with it.
    const std::string& fitted(std::size_t column, const std::string& text);
    void draw_line_cell(std::size_t column, int top, const std::string& text, vcl::TColor colour);
    void draw_whole();
    void draw_card(std::size_t slot, const Shown* before);
    void draw_next(std::size_t row);
    void draw_note();
    std::string wanted_note() const;
    void page(std::ptrdiff_t by);
    // The text of the box of slot `slot` follows the mouse shown in it.
    void fill_boxes();

    std::vector<measures::check::Card> cards_;
    std::vector<Shown> shown_;
    std::size_t first_card_ = 0;
    std::string next_;
    std::array<std::string, 2> next_rows_;  // as drawn
    std::string note_;
    std::string status_;  // the last save's outcome, or what was wrong with a box
    std::array<vcl::TEdit*, card_slots> boxes_{};
    std::array<measures::Handle, card_slots> box_mouse_{};
    int row_height_ = 0;
    bool drawn_ = false;
    bool changed_ = true;        // the measures or the window changed since the last drawing
    std::int64_t drawn_ns_ = 0;  // when it last drew
    std::array<std::unordered_map<std::string, std::string>, 4> fitted_;
    std::uint64_t drawings_ = 0;
    std::uint64_t whole_drawings_ = 0;
    vcl::FramePacer frame_;
};

extern TForm7* Form7;

// The cards of every numbered mouse that has sent a packet, in their
// numbering, and how many other mice sent packets (plugged in after start:
// no number). Read from the measures' feed and the engine's numbering.
std::vector<measures::check::Card> check_cards(std::size_t* unnumbered = nullptr);
// The check's report of those cards, on the feed's input, its D and its
// chatter window.
measures::check::Report check_report();
// Writes the report to `path`: to a temporary name beside it, renamed into
// place once whole, so that a failed write leaves the older file (or none).
// False, with `error` saying what and where, when it could not.
bool write_check_report(const std::string& path, std::string& error);
// Whether a report could be written to `path` (its folder exists and takes
// a new file, and it is no folder itself); false, with `error` set, else.
bool report_path_usable(const std::string& path, std::string& error);
