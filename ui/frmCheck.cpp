#include "ui/frmCheck.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <unordered_map>

#include "measures/feed.h"
#include "measures/movement.h"
#include "measures/tracking.h"
#include "rawinput/rawinput.h"
#include "rawinput/report.h"
#include "ui/frmTiming.h"

TForm7* Form7 = nullptr;

namespace {

namespace check = measures::check;

constexpr int client_width = 900;
constexpr int margin = table_margin;
constexpr int next_top = 6;
constexpr int cards_top = 40;
constexpr int card_height = 130;
constexpr int card_step = 134;
constexpr int lines_top = 32;  // a card's first test line, from its top
constexpr int note_top = cards_top + static_cast<int>(TForm7::card_slots) * card_step;
constexpr int picture_bottom = note_top + 18;  // above D's box and the buttons
constexpr int badge_left = 636;
constexpr int badge_width = 116;
constexpr int mark_size = 9;

constexpr vcl::TColor face = vcl::clBtnFace;
constexpr vcl::TColor card_face = vcl::clWhite;
constexpr vcl::TColor card_frame = 0xB4B4B4;
constexpr vcl::TColor text_colour = vcl::clWindowText;

// A test line's cells: its title, its verdict, its figure, its reason.
constexpr std::array<Column, 4> line_columns = {{
    {margin + 26, 76, true},
    {margin + 106, 62, true},
    {margin + 172, 196, true},
    {margin + 372, client_width - 2 * margin - 372 - 8, true},
}};

std::int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The text of a file name in the system's form, from UTF-8.
std::filesystem::path path_of(const std::string& utf8) {
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(utf8.data()), utf8.size()));
}

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string()
                                      : text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A CPI as --cpi takes it: a whole number from min_cpi to max_cpi.
std::optional<int> parse_cpi(const std::string& text) {
    if (text.empty() || text.size() > 6 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int cpi = std::stoi(text);
    if (cpi < measures::tracking::min_cpi || cpi > measures::tracking::max_cpi)
        return std::nullopt;
    return cpi;
}

std::string upper(std::string_view word) {
    std::string text(word);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return text;
}

// `text` as it fits `width` pixels: whole, or its longest start that fits
// with "…" after it, cut at a character boundary. As fitted_text() has it,
// but found by halving: a few measures of the text, not one a character.
std::string cut_to(const vcl::TCanvas& canvas, const std::string& text, int width) {
    if (canvas.TextWidth(text) <= width)
        return text;
    static const std::string ellipsis = "\xE2\x80\xA6";
    std::vector<std::size_t> starts;  // where each character starts, and the end
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            starts.push_back(i);
    }
    std::size_t fits = 0;  // characters that fit with the ellipsis
    std::size_t too_many = starts.size();
    while (fits + 1 < too_many) {
        const std::size_t mid = (fits + too_many) / 2;
        if (canvas.TextWidth(text.substr(0, starts[mid]) + ellipsis) <= width)
            fits = mid;
        else
            too_many = mid;
    }
    return text.substr(0, fits < starts.size() ? starts[fits] : text.size()) + ellipsis;
}

}  // namespace

TForm7::TForm7(vcl::TComponent* Owner)
    : MeasuresWindow(Owner), frame_([this] {
          // Figures that change faster than this cannot be read: the frame
          // after refresh_ms draws them, the ones before only ask for it.
          if (drawn_ && now_ns() - drawn_ns_ < std::int64_t{refresh_ms} * 1'000'000)
              frame_.request();
          else
              draw();
      }) {
    frame_.charge_to(this);
}

TForm7::~TForm7() {
    if (Form7 == this)
        Form7 = nullptr;
}

const vcl::FormClass& TForm7::form_class() {
    static const vcl::FormClass form_class =
        form_class_of<TForm7>("Form7")
            .field("edtCpi0", &TForm7::edtCpi0)
            .field("edtCpi1", &TForm7::edtCpi1)
            .field("edtCpi2", &TForm7::edtCpi2)
            .field("edtCpi3", &TForm7::edtCpi3)
            .field("lblDistance", &TForm7::lblDistance)
            .field("edtDistance", &TForm7::edtDistance)
            .field("btnSaveReport", &TForm7::btnSaveReport)
            .field("btnReset", &TForm7::btnReset)
            .handler("btnSaveReportClick", &TForm7::btnSaveReportClick)
            .handler("btnResetClick", &TForm7::btnResetClick);
    return form_class;
}

void TForm7::FormCreate(vcl::TObject* /*Sender*/) {
    // From now on the mice are compared in pairs, for the Together test.
    measures::feed().start_check();
    row_height_ = Canvas->TextHeight("Hg") + 2;
    boxes_ = {edtCpi0, edtCpi1, edtCpi2, edtCpi3};
    for (vcl::TEdit* box : boxes_)
        box->Hide();
    if (const std::optional<double> distance = measures::feed().distance_mm())
        edtDistance->Text = measures::movement::format_distance_mm(*distance);
}

void TForm7::FormKeyDown(vcl::TObject* /*Sender*/, WORD& Key, vcl::TShiftState Shift) {
    measures_window_keys(Key, Shift);
    if (Key == 0 || !plain_key(Shift))
        return;
    if (Key == VK_RETURN) {
        if (edtDistance->Focused()) {
            apply_distance();
            Key = 0;
        }
        for (std::size_t slot = 0; slot < card_slots; ++slot) {
            if (boxes_[slot]->Focused()) {
                apply_cpi_setting(slot);
                Key = 0;
            }
        }
    } else if (Key == VK_NEXT || Key == VK_PRIOR) {
        page(Key == VK_NEXT ? 1 : -1);
        Key = 0;
    }
}

void TForm7::apply_distance() {
    const std::string text = trimmed(edtDistance->Text);
    if (text.empty()) {
        status_.clear();
        measures::feed().set_distance_mm(std::nullopt);
    } else if (const std::optional<double> distance = measures::movement::parse_distance_mm(text)) {
        status_.clear();
        measures::feed().set_distance_mm(distance);
        // Speeds are read at the CPI the strokes give over it, as from a
        // newer stroke on.
        const measures::Store& store = measures::feed().store();
        for (std::size_t i = 0; i < store.size(); ++i) {
            if (const std::optional<double> cpi = store[i].strokes.summary(distance).cpi)
                measures::feed().set_cpi(store[i].handle, *cpi);
        }
    } else {
        status_ = "'" + text + "' is not a distance in mm above 0 and at most 10000.";
    }
    changed_ = true;
    draw();
}

void TForm7::apply_cpi_setting(std::size_t slot) {
    if (slot >= card_slots || box_mouse_[slot] == 0)
        return;
    const std::string text = trimmed(boxes_[slot]->Text);
    const std::optional<int> cpi = parse_cpi(text);
    if (text.empty()) {
        status_.clear();
        measures::feed().set_cpi_setting(box_mouse_[slot], std::nullopt);
    } else if (cpi) {
        status_.clear();
        // The CPI it is set to, which its speeds are read at too (as --cpi).
        measures::feed().set_cpi_setting(box_mouse_[slot], *cpi);
        measures::feed().set_cpi(box_mouse_[slot], *cpi);
    } else {
        status_ = "'" + text + "' is not a CPI: a whole number from " +
                  std::to_string(measures::tracking::min_cpi) + " to " +
                  std::to_string(measures::tracking::max_cpi) + ".";
    }
    changed_ = true;
    draw();
}

void TForm7::btnResetClick(vcl::TObject* /*Sender*/) {
    measures::feed().reset_all();
    status_.clear();
    changed_ = true;
    draw();
}

void TForm7::btnSaveReportClick(vcl::TObject* /*Sender*/) {
    vcl::TSaveDialog dialog(this);
    dialog.Title = "Save report";
    dialog.Filter = "PNG picture and JSON report (*.png)|*.png";
    dialog.DefaultExt = "png";
    dialog.FileName = "rawmice-check.png";
    if (dialog.Execute())
        save_report(dialog.FileName);
}

bool TForm7::save_report(const std::string& path) {
    const bool png = path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0;
    const std::string json = (png ? path.substr(0, path.size() - 4) : path) + ".json";
    frame_.flush();
    changed_ = true;
    draw();
    std::string error;
    try {
        Canvas->SaveToPNG(path, picture_rect());
        if (!write_check_report(json, error)) {
            status_ = "Could not save the report: " + error;
        } else {
            status_ = "Saved the report to " + path + " and " + json;
        }
    } catch (const vcl::Exception& e) {
        status_ = "Could not save the picture: " + e.Message();
        error = e.Message();
    }
    changed_ = true;
    draw();
    return error.empty();
}

void TForm7::measures_changed() {
    // Once per packet: a frame asked for already settles it at once.
    changed_ = true;
    if (!frame_.pending() && Visible)
        frame_.request();
}

void TForm7::refresh() {
    drawn_ = false;
    changed_ = true;
    draw();
}

void TForm7::page(std::ptrdiff_t by) {
    const std::size_t pages = (cards_.size() + card_slots - 1) / card_slots;
    const auto page = static_cast<std::ptrdiff_t>(first_card_ / card_slots) + by;
    const auto kept = static_cast<std::size_t>(std::clamp<std::ptrdiff_t>(
        page, 0, std::max<std::ptrdiff_t>(0, static_cast<std::ptrdiff_t>(pages) - 1)));
    if (kept * card_slots == first_card_)
        return;
    first_card_ = kept * card_slots;
    drawn_ = false;
    changed_ = true;
    draw();
}

vcl::TRect TForm7::card_rect(std::size_t slot) {
    const int top = cards_top + static_cast<int>(slot) * card_step;
    return vcl::Rect(margin, top, client_width - margin, top + card_height);
}

vcl::TRect TForm7::badge_rect(std::size_t slot) {
    const vcl::TRect card = card_rect(slot);
    return vcl::Rect(badge_left, card.Top + 6, badge_left + badge_width, card.Top + 24);
}

vcl::TRect TForm7::mark_rect(std::size_t slot, check::Test test) {
    const vcl::TRect card = card_rect(slot);
    const int top = card.Top + lines_top + static_cast<int>(test) * 15 + 3;
    return vcl::Rect(card.Left + 10, top, card.Left + 10 + mark_size, top + mark_size);
}

vcl::TRect TForm7::picture_rect() {
    return vcl::Rect(0, 0, client_width, picture_bottom);
}

vcl::TColor TForm7::colour(check::Verdict verdict) {
    switch (verdict) {
        case check::Verdict::pass:
            return 0x008C00;  // green
        case check::Verdict::warn:
            return 0x0090E0;  // amber
        case check::Verdict::fail:
            return 0x1C1CD0;  // red
        case check::Verdict::waiting:
            return 0x969696;  // grey
        case check::Verdict::cant_tell:
            return 0x9C6E6E;  // slate
        case check::Verdict::info:
            return 0xC8782D;  // blue
    }
    return text_colour;
}

vcl::TColor TForm7::colour(check::MouseVerdict verdict) {
    switch (verdict) {
        case check::MouseVerdict::pass:
            return colour(check::Verdict::pass);
        case check::MouseVerdict::warn:
            return colour(check::Verdict::warn);
        case check::MouseVerdict::fail:
            return colour(check::Verdict::fail);
        case check::MouseVerdict::incomplete:
            break;
    }
    return colour(check::Verdict::waiting);
}

std::string TForm7::wanted_note() const {
    if (!status_.empty())
        return status_;
    std::string note =
        "Marks: green pass, amber warn, red fail, grey waiting, slate can't tell, blue info. Each "
        "card's box: the CPI the mouse is set to (Enter).";
    if (cards_.size() > card_slots) {
        const std::size_t last = std::min(first_card_ + card_slots, cards_.size());
        note = "Cards " + std::to_string(first_card_ + 1) + " to " + std::to_string(last) + " of " +
               std::to_string(cards_.size()) + ": Page Up and Page Down show the others. " + note;
    }
    return note;
}

void TForm7::fill_boxes() {
    for (std::size_t slot = 0; slot < card_slots; ++slot) {
        const std::size_t index = first_card_ + slot;
        const measures::Handle mouse = slot < shown_.size() ? shown_[slot].handle : 0;
        vcl::TEdit* box = boxes_[slot];
        if (mouse == 0) {
            box_mouse_[slot] = 0;
            box->Hide();
            continue;
        }
        if (box_mouse_[slot] != mouse) {
            box_mouse_[slot] = mouse;
            const std::optional<double> set =
                index < cards_.size() ? cards_[index].cpi.set_cpi : std::nullopt;
            box->Text = set ? std::to_string(std::lround(*set)) : std::string();
        }
        box->Show();
    }
}

const std::string& TForm7::fitted(std::size_t column, const std::string& text) {
    // A few hundred texts in all (reasons, figures as they change): kept
    // while they last, so that a text is measured and cut once.
    std::unordered_map<std::string, std::string>& known = fitted_[column];
    const auto found = known.find(text);
    if (found != known.end())
        return found->second;
    if (known.size() >= 512)
        known.clear();
    return known.emplace(text, cut_to(*Canvas, text, line_columns[column].width)).first->second;
}

void TForm7::draw_line_cell(std::size_t column, int top, const std::string& text,
                            vcl::TColor colour) {
    const Column& c = line_columns[column];
    Canvas->Brush->Color = card_face;
    Canvas->FillRect(vcl::Rect(c.left, top, c.left + c.width, top + row_height_));
    Canvas->Font->Color = colour;
    Canvas->TextOut(c.left, top, fitted(column, text));
}

void TForm7::draw() {
    if (!Visible || (drawn_ && !changed_))
        return;  // nothing changed: nothing drawn
    const std::int64_t began = now_ns();
    drawn_ns_ = began;
    changed_ = false;
    ++drawings_;
    std::size_t unnumbered = 0;
    cards_ = check_cards(&unnumbered);
    if (first_card_ >= cards_.size())
        first_card_ =
            cards_.size() <= card_slots ? 0 : (cards_.size() - 1) / card_slots * card_slots;
    const check::NextStep step = check::next_step(
        cards_,
        {.distance_known = measures::feed().distance_mm().has_value(), .unnumbered = unnumbered});
    // What to do on the first line, how far each mouse is (which changes as
    // it moves) and the mice without a card on the second.
    std::string after = step.progress.empty() ? "" : step.progress + ".";
    if (!step.unnumbered.empty())
        after += (after.empty() ? "" : " ") + step.unnumbered + ".";
    const std::array<std::string, 2> next_rows = {
        "Next: " + step.what + (step.progress.empty() ? "." : ":"), after};

    std::vector<Shown> wanted;
    for (std::size_t i = first_card_; i < std::min(cards_.size(), first_card_ + card_slots); ++i) {
        const check::Card& card = cards_[i];
        Shown s;
        s.handle = measures::handle_of(raw_input_state.raw_mouse_handles[card.number]);
        s.header =
            "Mouse " + std::to_string(card.number) + (card.name.empty() ? "" : "   " + card.name);
        s.verdict = card.verdict;
        for (check::Test t : check::all_tests) {
            const check::Result& r = card.result(t);
            const auto n = static_cast<std::size_t>(t);
            s.lines[n] = {std::string(check::test_title(t)),
                          std::string(check::verdict_word(r.verdict)), r.figure, r.reason};
            s.verdicts[n] = r.verdict;
        }
        wanted.push_back(std::move(s));
    }
    const bool same_slots =
        drawn_ && wanted.size() == shown_.size() &&
        std::equal(wanted.begin(), wanted.end(), shown_.begin(),
                   [](const Shown& a, const Shown& b) { return a.handle == b.handle; });
    std::vector<Shown> before = std::move(shown_);
    shown_ = std::move(wanted);
    next_ = "Next: " + step.text();
    std::array<bool, 2> next_changed{};
    for (std::size_t row = 0; row < next_rows.size(); ++row) {
        next_changed[row] = next_rows[row] != next_rows_[row];
        next_rows_[row] = next_rows[row];
    }
    const std::string note = wanted_note();
    const bool note_changed = note != note_;
    note_ = note;
    if (!same_slots) {
        draw_whole();
    } else {
        for (std::size_t slot = 0; slot < shown_.size(); ++slot)
            draw_card(slot, &before[slot]);
        for (std::size_t row = 0; row < next_rows_.size(); ++row) {
            if (next_changed[row])
                draw_next(row);
        }
        if (note_changed)
            draw_note();
    }
    fill_boxes();
    drawn_ = true;
}

void TForm7::draw_whole() {
    ++whole_drawings_;
    vcl::TCanvas& canvas = *Canvas;
    canvas.Brush->Color = face;
    canvas.FillRect(picture_rect());
    for (std::size_t row = 0; row < next_rows_.size(); ++row)
        draw_next(row);
    if (shown_.empty()) {
        canvas.Font->Color = text_colour;
        canvas.Brush->Color = face;
        canvas.TextOut(margin, cards_top + 4,
                       "No numbered mouse has sent a packet yet: each gets a card with its first.");
    }
    for (std::size_t slot = 0; slot < shown_.size(); ++slot)
        draw_card(slot, nullptr);
    draw_note();
}

void TForm7::draw_next(std::size_t row) {
    vcl::TCanvas& canvas = *Canvas;
    const int top = next_top + static_cast<int>(row) * row_height_;
    canvas.Brush->Color = face;
    canvas.FillRect(vcl::Rect(0, top, client_width, top + row_height_));
    canvas.Font->Color = text_colour;
    canvas.TextOut(margin, top, cut_to(canvas, next_rows_[row], client_width - 2 * margin));
}

void TForm7::draw_note() {
    vcl::TCanvas& canvas = *Canvas;
    canvas.Brush->Color = face;
    canvas.FillRect(vcl::Rect(0, note_top, client_width, picture_bottom));
    draw_notes(canvas, {note_}, note_top, row_height_, client_width);
}

void TForm7::draw_card(std::size_t slot, const Shown* before) {
    vcl::TCanvas& canvas = *Canvas;
    const Shown& s = shown_[slot];
    const vcl::TRect card = card_rect(slot);
    const check::Card& data = cards_[first_card_ + slot];
    if (before == nullptr) {
        canvas.Brush->Color = card_frame;
        canvas.FillRect(card);
        canvas.Brush->Color = card_face;
        canvas.FillRect(vcl::Rect(card.Left + 1, card.Top + 1, card.Right - 1, card.Bottom - 1));
        // The mouse's colour and its name, in its colour as every window shows it.
        const vcl::TColor mouse = TForm3::mouse_colour(data.number);
        canvas.Brush->Color = mouse;
        canvas.FillRect(vcl::Rect(card.Left + 10, card.Top + 9, card.Left + 22, card.Top + 21));
        canvas.Brush->Color = card_face;
        canvas.Font->Color = mouse;
        canvas.TextOut(card.Left + 28, card.Top + 8,
                       cut_to(canvas, s.header, badge_left - card.Left - 40));
        canvas.Font->Color = text_colour;
        const std::string set = "set to CPI:";
        canvas.TextOut(card.Right - 80 - canvas.TextWidth(set), card.Top + 8, set);
    }
    if (before == nullptr || before->verdict != s.verdict) {
        const vcl::TRect badge = badge_rect(slot);
        canvas.Brush->Color = colour(s.verdict);
        canvas.FillRect(badge);
        canvas.Font->Color = vcl::clWhite;
        const std::string word = upper(check::verdict_key(s.verdict));
        canvas.TextOut(badge.Left + (badge.Width() - canvas.TextWidth(word)) / 2,
                       badge.Top + (badge.Height() - canvas.TextHeight(word)) / 2, word);
    }
    for (check::Test t : check::all_tests) {
        const auto n = static_cast<std::size_t>(t);
        const int top = card.Top + lines_top + static_cast<int>(n) * 15;
        const vcl::TColor verdict = colour(s.verdicts[n]);
        const bool verdict_changed = before == nullptr || before->verdicts[n] != s.verdicts[n];
        if (verdict_changed) {
            canvas.Brush->Color = verdict;
            canvas.FillRect(mark_rect(slot, t));
        }
        for (std::size_t c = 0; c < line_columns.size(); ++c) {
            if (before != nullptr && before->lines[n][c] == s.lines[n][c] &&
                !(c == 1 && verdict_changed))
                continue;
            draw_line_cell(c, top, s.lines[n][c], c == 1 ? verdict : text_colour);
        }
    }
}

std::string TForm7::cost_details() const {
    return std::to_string(whole_drawings_) + " drawn whole";
}

std::vector<check::Card> check_cards(std::size_t* unnumbered) {
    const measures::Feed& feed = measures::feed();
    const measures::Store& store = feed.store();
    const RawInputState& listed = raw_input_state;
    // The numbered mice that sent a packet: the ones with a card.
    std::vector<std::pair<measures::Handle, int>> numbered;
    for (int i = 0; i < listed.raw_mouse_count; ++i) {
        const measures::Handle handle = measures::handle_of(listed.raw_mouse_handles[i]);
        if (store.find(handle) != nullptr)
            numbered.emplace_back(handle, i);
    }
    if (unnumbered != nullptr)
        *unnumbered = store.size() - numbered.size();
    std::vector<check::Card> cards;
    for (const auto& [handle, number] : numbered) {
        check::CardFacts facts;
        facts.number = number;
        facts.log_handle = report::handle_as_int(listed.raw_mouse_handles[number]);
        facts.name = feed.name_of(handle);
        facts.distance_mm = feed.distance_mm();
        facts.set_cpi = feed.cpi_setting(handle);
        facts.debounced_buttons = feed.input().debounced_buttons;
        facts.others = numbered.size() - 1;
        if (const check::Pairs* pairs = feed.pairs()) {
            for (auto [other, partner] : pairs->partners_of(handle)) {
                const auto with = std::find_if(numbered.begin(), numbered.end(),
                                               [&](const auto& n) { return n.first == other; });
                if (with == numbered.end())
                    continue;  // a mouse without a number has no card to name
                partner.with = with->second;
                facts.partners.push_back(partner);
            }
        }
        cards.push_back(check::card_of(*store.find(handle), facts));
    }
    return cards;
}

check::Report check_report() {
    const measures::Feed& feed = measures::feed();
    check::Report report;
    report.version = RAWMICE_VERSION;
    report.input = feed.input().report_input;
    report.clock = feed.input().report_clock;
    report.distance_mm = feed.distance_mm();
    report.chatter_ms = static_cast<int>(feed.store().options().chatter_window_us / 1000);
    report.mice = check_cards();
    return report;
}

bool report_path_usable(const std::string& path, std::string& error) {
    const std::filesystem::path target = path_of(path);
    std::error_code ignored;
    if (std::filesystem::is_directory(target, ignored)) {
        error = "cannot write " + path + ": it is a folder";
        return false;
    }
    // A new file beside it: the folder exists and takes one. One there
    // already is someone's: opened to be added to, and left as it is.
    std::filesystem::path part = target;
    part += ".part";
#ifdef _WIN32
    std::FILE* probe = _wfopen(part.c_str(), L"wbx");
#else
    std::FILE* probe = std::fopen(part.c_str(), "wbx");
#endif
    const bool made = probe != nullptr;
    if (probe == nullptr && errno == EEXIST) {
#ifdef _WIN32
        probe = _wfopen(part.c_str(), L"ab");
#else
        probe = std::fopen(part.c_str(), "ab");
#endif
    }
    if (probe == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(probe);
    if (made)
        std::filesystem::remove(part, ignored);
    return true;
}

bool write_check_report(const std::string& path, std::string& error) {
    // The pairs compared on every packet handled, not only up to the last
    // whole second of their time.
    measures::feed().compare_pairs();
    const std::string json = check::report_json(check_report());
    const std::filesystem::path target = path_of(path);
    std::filesystem::path part = target;
    part += ".part";
    bool written = false;
    std::string why;
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        if (out) {
            out << json;
            out.close();
            written = !out.fail();
        }
        if (!written)
            why = std::strerror(errno);
    }
    std::error_code failure;
    if (written) {
        std::filesystem::rename(part, target, failure);
        if (failure) {
            // Some systems do not replace a file by renaming over it.
            std::filesystem::remove(target, failure);
            std::filesystem::rename(part, target, failure);
        }
    }
    if (!written || failure) {
        std::error_code ignored;
        std::filesystem::remove(part, ignored);
        error = "cannot write " + path + ": " + (failure ? failure.message() : why);
        return false;
    }
    return true;
}
