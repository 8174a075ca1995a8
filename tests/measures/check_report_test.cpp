// The check's report read back as a script reads it (Qt's JSON parser): the
// keys exactly, figures as numbers, unknown ones null, text escaped; and the
// README's table of thresholds, which is the check's own table.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "measures/check.h"
#include "tests/support/test_support.h"

namespace {

namespace check = measures::check;
using check::Verdict;

QJsonObject parsed(const std::string& text) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError)
        << error.errorString().toStdString() << " at " << error.offset << " in\n"
        << text;
    return document.object();
}

QStringList sorted(QStringList keys) {
    keys.sort();
    return keys;
}

QStringList keys(std::initializer_list<const char*> names) {
    QStringList list;
    for (const char* name : names)
        list << name;
    return sorted(list);
}

check::Report report_of(std::vector<check::Card> mice, std::optional<double> distance = 100) {
    check::Report r;
    r.version = "1.2.3";
    r.input = "replay";
    r.clock = "recorded";
    r.distance_mm = distance;
    r.chatter_ms = 25;
    r.mice = std::move(mice);
    return r;
}

check::Card full_card() {
    check::Card c;
    c.number = 0;
    c.handle = 65537;
    c.name = "Quote \" and back\\slash\tand tab, \xC2\xB5";
    c.verdict = check::MouseVerdict::fail;
    c.polling = {
        {Verdict::pass, "1000 Hz, 0.3 % off grid", "on its poll grid"}, 1000, 1000, 12.5, 0.3};
    c.buttons = {{Verdict::fail, "left 1 of 20 chatter", "its switch bounces"},
                 {{measures::buttons::Button::left, 20, 1},
                  {measures::buttons::Button::right, 20, 0},
                  {measures::buttons::Button::side, 2, 0}}};
    c.cpi = {{Verdict::pass, "803 CPI, set 800", "0.4 % above"}, 803.2, 800, 0.4, 5, 0.25};
    c.cpi_at_speed = {{Verdict::warn, "+4.0 %", "further"}, 4.0, 0.2, 2.5};
    c.speed = {{Verdict::fail, "1 spin-out", "lost track"}, 4.1, 129.1, 1, 0, 3.9};
    c.together = {{Verdict::info, "1 pair", "mouse 1 reports ..."}, {{1, 1.08, 1.75}}};
    return c;
}

TEST(CheckReportTest, TheKeysExactlyWithTheCardsFigures) {
    check::Card unknown;
    unknown.number = 1;
    unknown.handle = -5;
    // A name of bytes that are not UTF-8 (a stray byte, a sequence cut off,
    // an overlong '/', a surrogate) beside ones that are.
    unknown.name = "a\xFF b\xC3 c\xC0\xAF d\xED\xA0\x80 \xE2\x82\xAC\xF0\x9F\x96\xB1";
    const std::string text = check::report_json(report_of({full_card(), unknown}));
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(
        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUtf8().toStdString(),
        text)
        << "the report is UTF-8 throughout";
    const QJsonObject report = parsed(text);
    EXPECT_EQ(sorted(report.keys()), keys({"rawmice_check", "version", "input", "clock",
                                           "distance_mm", "chatter_ms", "mice"}));
    EXPECT_EQ(report["rawmice_check"].toInt(), 1);
    EXPECT_EQ(report["version"].toString(), "1.2.3");
    EXPECT_EQ(report["input"].toString(), "replay");
    EXPECT_EQ(report["clock"].toString(), "recorded");
    EXPECT_EQ(report["distance_mm"].toDouble(), 100);
    EXPECT_EQ(report["chatter_ms"].toInt(), 25);
    const QJsonArray mice = report["mice"].toArray();
    ASSERT_EQ(mice.size(), 2);

    const QJsonObject m = mice[0].toObject();
    EXPECT_EQ(sorted(m.keys()), keys({"number", "handle", "name", "verdict", "tests"}));
    EXPECT_EQ(m["number"].toInt(), 0);
    EXPECT_EQ(m["handle"].toInt(), 65537);
    EXPECT_EQ(m["name"].toString().toStdString(), full_card().name);
    EXPECT_EQ(m["verdict"].toString(), "fail");
    const QJsonObject tests = m["tests"].toObject();
    EXPECT_EQ(sorted(tests.keys()),
              keys({"polling", "buttons", "cpi", "cpi_at_speed", "speed", "together"}));

    const QJsonObject polling = tests["polling"].toObject();
    EXPECT_EQ(sorted(polling.keys()),
              keys({"verdict", "reason", "poll_hz", "declared_hz", "skipped_pct", "off_grid_pct"}));
    EXPECT_EQ(polling["verdict"].toString(), "pass");
    EXPECT_EQ(polling["reason"].toString(), "on its poll grid");
    EXPECT_EQ(polling["poll_hz"].toDouble(), 1000);
    EXPECT_EQ(polling["declared_hz"].toDouble(), 1000);
    EXPECT_EQ(polling["skipped_pct"].toDouble(), 12.5);
    EXPECT_EQ(polling["off_grid_pct"].toDouble(), 0.3);

    const QJsonObject buttons = tests["buttons"].toObject();
    EXPECT_EQ(sorted(buttons.keys()), keys({"verdict", "reason", "buttons"}));
    EXPECT_EQ(buttons["verdict"].toString(), "fail");
    const QJsonArray each = buttons["buttons"].toArray();
    ASSERT_EQ(each.size(), 3);
    EXPECT_EQ(sorted(each[0].toObject().keys()), keys({"button", "presses", "chatter"}));
    EXPECT_EQ(each[0].toObject()["button"].toString(), "left");
    EXPECT_EQ(each[0].toObject()["presses"].toInt(), 20);
    EXPECT_EQ(each[0].toObject()["chatter"].toInt(), 1);
    EXPECT_EQ(each[2].toObject()["button"].toString(), "side");

    const QJsonObject cpi = tests["cpi"].toObject();
    EXPECT_EQ(sorted(cpi.keys()), keys({"verdict", "reason", "cpi", "set_cpi", "deviation_pct",
                                        "strokes", "spread_pct"}));
    EXPECT_EQ(cpi["cpi"].toDouble(), 803.2);
    EXPECT_EQ(cpi["set_cpi"].toDouble(), 800);
    EXPECT_EQ(cpi["deviation_pct"].toDouble(), 0.4);
    EXPECT_EQ(cpi["strokes"].toInt(), 5);
    EXPECT_EQ(cpi["spread_pct"].toDouble(), 0.25);

    const QJsonObject variation = tests["cpi_at_speed"].toObject();
    EXPECT_EQ(sorted(variation.keys()),
              keys({"verdict", "reason", "variation_pct", "slow_mps", "fast_mps"}));
    EXPECT_EQ(variation["verdict"].toString(), "warn");
    EXPECT_EQ(variation["variation_pct"].toDouble(), 4);
    EXPECT_EQ(variation["slow_mps"].toDouble(), 0.2);
    EXPECT_EQ(variation["fast_mps"].toDouble(), 2.5);

    const QJsonObject speed = tests["speed"].toObject();
    EXPECT_EQ(sorted(speed.keys()), keys({"verdict", "reason", "peak_mps", "peak_cpms", "spinouts",
                                          "saturated", "malfunction_mps"}));
    EXPECT_EQ(speed["peak_mps"].toDouble(), 4.1);
    EXPECT_EQ(speed["peak_cpms"].toDouble(), 129.1);
    EXPECT_EQ(speed["spinouts"].toInt(), 1);
    EXPECT_EQ(speed["saturated"].toInt(), 0);
    EXPECT_EQ(speed["malfunction_mps"].toDouble(), 3.9);

    const QJsonObject together = tests["together"].toObject();
    EXPECT_EQ(sorted(together.keys()), keys({"verdict", "pairs"}));
    EXPECT_EQ(together["verdict"].toString(), "info");
    const QJsonArray pairs = together["pairs"].toArray();
    ASSERT_EQ(pairs.size(), 1);
    EXPECT_EQ(sorted(pairs[0].toObject().keys()), keys({"with", "ratio", "lag_ms"}));
    EXPECT_EQ(pairs[0].toObject()["with"].toInt(), 1);
    EXPECT_EQ(pairs[0].toObject()["ratio"].toDouble(), 1.08);
    EXPECT_EQ(pairs[0].toObject()["lag_ms"].toDouble(), 1.75);

    // What is not known is null, never 0 or absent.
    const QJsonObject none = mice[1].toObject();
    EXPECT_EQ(none["handle"].toInt(), -5);
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(none["name"].toString().toStdString(), "a" + fffd + " b" + fffd + " c" + fffd + fffd +
                                                         " d" + fffd + fffd + fffd +
                                                         " \xE2\x82\xAC\xF0\x9F\x96\xB1")
        << "each byte that starts no UTF-8 sequence becomes U+FFFD; the rest stays";
    EXPECT_EQ(none["verdict"].toString(), "incomplete");
    const QJsonObject t = none["tests"].toObject();
    for (const auto& [test, key] : {std::pair{"polling", "poll_hz"},
                                    {"polling", "declared_hz"},
                                    {"polling", "skipped_pct"},
                                    {"polling", "off_grid_pct"},
                                    {"cpi", "cpi"},
                                    {"cpi", "set_cpi"},
                                    {"cpi", "deviation_pct"},
                                    {"cpi", "spread_pct"},
                                    {"cpi_at_speed", "variation_pct"},
                                    {"cpi_at_speed", "slow_mps"},
                                    {"cpi_at_speed", "fast_mps"},
                                    {"speed", "peak_mps"},
                                    {"speed", "peak_cpms"},
                                    {"speed", "saturated"},
                                    {"speed", "malfunction_mps"}}) {
        EXPECT_TRUE(t[test].toObject().contains(key)) << test << "." << key;
        EXPECT_TRUE(t[test].toObject()[key].isNull()) << test << "." << key;
    }
    EXPECT_EQ(t["polling"].toObject()["verdict"].toString(), "waiting");
    EXPECT_TRUE(t["together"].toObject()["pairs"].toArray().isEmpty());

    const QJsonObject without_d = parsed(check::report_json(report_of({}, std::nullopt)));
    EXPECT_TRUE(without_d["distance_mm"].isNull());
    EXPECT_TRUE(without_d["mice"].toArray().isEmpty());
}

TEST(CheckReportTest, EveryVerdictHasItsKey) {
    for (const auto& [verdict, key] : {std::pair{Verdict::pass, "pass"},
                                       {Verdict::warn, "warn"},
                                       {Verdict::fail, "fail"},
                                       {Verdict::waiting, "waiting"},
                                       {Verdict::cant_tell, "cant_tell"},
                                       {Verdict::info, "info"}}) {
        check::Card c;
        c.polling.result.verdict = verdict;
        const QJsonObject report = parsed(check::report_json(report_of({c})));
        EXPECT_EQ(report["mice"]
                      .toArray()[0]
                      .toObject()["tests"]
                      .toObject()["polling"]
                      .toObject()["verdict"]
                      .toString(),
                  key);
    }
    EXPECT_EQ(check::verdict_word(Verdict::cant_tell), "can't tell");
}

// The README's table is the check's own: a threshold changed in the code and
// not in the README (or the other way) fails here, printing the table to put in.
TEST(CheckReportTest, TheReadmeShowsTheThresholdsTable) {
    const std::string readme = testsupport::read_file(testsupport::source_dir() / "README.md");
    const std::string table = check::thresholds_markdown();
    EXPECT_NE(readme.find(table), std::string::npos) << "README.md should hold:\n" << table;
}

}  // namespace
