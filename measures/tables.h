// The measures as text tables, the way --stats prints them at exit: one place
// where each measure's rows are made, beside the measures themselves. The
// mice come as the program numbered and named them; a measure's table lists
// them in that order, then any other mouse measured, unnumbered ("-").
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "measures/store.h"

namespace measures {

// A mouse as the tables name it: its number (-1 when it has none) and name.
struct Label {
    Handle handle;
    int mouse_number;
    std::string name;
};

// A handle as the program prints it everywhere: its low 32 bits, signed.
std::string handle_text(Handle handle);

// Lines of cells as text, each column as wide as its widest cell counted in
// characters (UTF-8), two spaces apart; columns flagged in `left_aligned` are
// aligned left, the others right. Every line ends in "\n", without trailing
// spaces.
std::string align_columns(const std::vector<std::vector<std::string>>& lines,
                          const std::vector<bool>& left_aligned);

// The buttons table: a title line (the chatter window, and the clock note
// where there is one), the header, then a line per mouse and button that
// changed.
std::string buttons_table(const std::vector<Label>& labels, const Store& store);

// The movement tables: a title line (the distance the CPI is counted over),
// the header, then a line per measured mouse; then the pairs of numbered mice
// that moved together, A the lower number, under a header printed even with
// no pair.
std::string movement_tables(const std::vector<Label>& labels, const Store& store,
                            std::optional<double> distance_mm);

// The tracking table: a title line (the speed window, the thresholds of a
// saturated report and a spin-out), the header, then a line per mouse that
// moved.
std::string tracking_table(const std::vector<Label>& labels, const Store& store);

// The strokes table: a title line (what a stroke is, the travel D the CPI is
// counted over), the header, then a line per mouse that moved, its CPI over
// `distance_mm`.
std::string strokes_table(const std::vector<Label>& labels, const Store& store,
                          std::optional<double> distance_mm);

}  // namespace measures
