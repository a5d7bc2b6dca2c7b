// The selection language: texts to selections or errors, selections to the
// columns they add up in each kind of file, and the header of labelled files.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "doscar/doscar.h"

namespace {

using Target = pds::Selection::Target;
using Columns = std::vector<std::vector<std::int64_t>>;

pds::Selection atoms(std::vector<pds::Selection::Range> r, std::vector<std::string> orbitals = {}) {
  return {Target::kAtoms, {}, std::move(r), std::move(orbitals)};
}
pds::Selection elements(std::vector<std::string> e, std::vector<std::string> orbitals = {}) {
  return {Target::kElements, std::move(e), {}, std::move(orbitals)};
}
pds::Selection element(std::string e, std::vector<std::string> orbitals = {}) {
  return elements({std::move(e)}, std::move(orbitals));
}

// What `call` throws as std::invalid_argument, or "" when it returns.
template <typename Call>
std::string error_of(Call call) {
  try {
    call();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

struct ParseRow {
  const char* text;
  pds::Selection want;
  const char* error;  // part of the message; "" when the text parses
};

TEST(Selection, ParsesTextsIntoSelectionsOrErrors) {
  const pds::Selection total{};
  const ParseRow rows[] = {
      {"total", total, ""},
      {"O", element("O"), ""},
      {"Fe(t2g,eg)", element("Fe", {"t2g", "eg"}), ""},
      {"Uuo ( p , px , p )", element("Uuo", {"p", "px"}), ""},
      {"1", atoms({{1, 1}}), ""},
      {"1-8(d)", atoms({{1, 8}}, {"d"}), ""},
      {"1-3,7", atoms({{1, 3}, {7, 7}}), ""},
      {"7,3,3-3,1", atoms({{1, 1}, {3, 3}, {7, 7}}), ""},
      {"6-8,2-5,1-3,4", atoms({{1, 8}}), ""},
      {"2-2(x2-y2,fx3)", atoms({{2, 2}}, {"x2-y2", "fx3"}), ""},
      {"999999", atoms({{999999, 999999}}), ""},
      {"Fe,Co(d)", elements({"Fe", "Co"}, {"d"}), ""},
      {"O , Ti,O", elements({"O", "Ti"}), ""},
      {"all", {Target::kAll, {}, {}, {}}, ""},
      {"all ( d )", {Target::kAll, {}, {}, {"d"}}, ""},
      {"Fe,", total, "an element must follow \",\""},
      {"Fe,3", total, "elements and atom numbers do not mix"},
      {"3,Fe", total, "an atom number must follow \",\""},
      {"Fe,total", total, "\"total\" is not an element symbol"},
      {"all,O", total, "unexpected \",O\""},
      {"Al l", total, "unexpected \"l\""},
      {"", total, "empty"},
      {"1000000", total, "above 999999"},
      {"0", total, "count from 1"},
      {"3-1", total, "runs downwards: write 1-3"},
      {"1-", total, "an atom number must follow \"-\""},
      {",1", total, "\",1\" is not an element"},
      {"FE", total, "\"FE\" is not an element symbol"},
      {"Ferr", total, "\"Ferr\" is not an element symbol"},
      {"total(s)", total, "total takes no orbitals"},
      {"O()", total, "an orbital must follow \"(\""},
      {"O(p,)", total, "an orbital must follow \",\""},
      {"O(p", total, "\")\" expected"},
      {"O(P)", total, "an orbital must follow \"(\""},
      {"O(dx2)", total, "unknown orbital \"dx2\""},
      {"O(p))", total, "unexpected \")\""},
      {"1 2", total, "unexpected \"2\""},
  };
  for (const ParseRow& row : rows) {
    SCOPED_TRACE(row.text);
    pds::Selection got;
    const std::string error = error_of([&] { got = pds::parse_selection(row.text); });
    if (*row.error == '\0') {
      EXPECT_EQ(error, "");
      EXPECT_TRUE(got == row.want);
    } else {
      EXPECT_NE(error.find(row.error), std::string::npos) << error;
      EXPECT_NE(error.find(std::string("selection \"") + row.text + "\""), std::string::npos);
    }
  }
}

// Messages quote an excerpt of the text: control characters and bytes that
// are not UTF-8 escaped, a long text cut; a NUL does not end the text.
TEST(Selection, MessagesQuoteAnEscapedExcerpt) {
  const std::pair<std::string, std::string> rows[] = {
      {std::string("Ti\0(d)", 6), "selection \"Ti\\x00(d)\": unexpected \"\\x00(d)\""},
      {"O(p)\t\x1b", "selection \"O(p)\\t\\x1b\": unexpected \"\\x1b\""},
      {"Ti(\xff)", "selection \"Ti(\\xff)\": an orbital must follow \"(\""},
      {"F\xc3\xa9(d", "selection \"F\xc3\xa9(d\": unexpected \"\xc3\xa9(d\""},
      {std::string(100, 'x'), "selection \"" + std::string(40, 'x') + "...\": \"" +
                                  std::string(40, 'x') + "...\" is not an element symbol"},
  };
  for (const auto& row : rows) {
    const std::string& want = row.second;
    EXPECT_EQ(error_of([&] { pds::parse_selection(row.first); }).substr(0, want.size()), want);
  }
}

// 10 kB of wide ranges: checked against the atom count before they are
// spelt out, in well under a second.
TEST(Selection, WideRangesCostTheirLengthOnly) {
  std::string text;
  for (int i = 0; i < 1100; ++i) text += "1-999999,";
  text += "5";
  const auto start = std::chrono::steady_clock::now();
  const std::string error = error_of(
      [&] { pds::plan_selection(pds::parse_selection(text), pds::DoscarKind{}, 8, nullptr); });
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_NE(error.find("atom 999999 is not in the file, which has 8 atoms"), std::string::npos);
  EXPECT_LT(took.count(), 1.0);
}

pds::DoscarKind kind(bool spin, bool lm, bool f, bool noncollinear = false) {
  pds::DoscarKind k;
  k.known_total = k.known_atoms = true;
  k.spin = spin;
  k.lm = lm;
  k.f = f;
  k.noncollinear = noncollinear;
  return k;
}

struct PlanRow {
  const char* text;
  pds::DoscarKind kind;
  Columns channels;
  const char* error;
};

TEST(Selection, ResolvesToColumnsOfEachKindOfFile) {
  const pds::DoscarKind l = kind(false, false, false), lf = kind(false, false, true),
                        lm = kind(false, true, false), lmf = kind(false, true, true),
                        spin_l = kind(true, false, false), spin_lm = kind(true, true, false),
                        nc_lm = kind(false, true, false, true);
  const PlanRow rows[] = {
      {"total", l, {{0}}, ""},
      {"total", spin_lm, {{0}, {1}}, ""},
      {"total", nc_lm, {{0}}, ""},
      {"1", l, {{0, 1, 2}}, ""},
      {"1(p)", l, {{1}}, ""},
      {"1(f)", lf, {{3}}, ""},
      {"1(d,s)", spin_l, {{0, 4}, {1, 5}}, ""},
      {"1(p)", lm, {{1, 2, 3}}, ""},
      {"1(t2g)", lm, {{4, 5, 7}}, ""},
      {"1(eg,t2g)", lm, {{4, 5, 6, 7, 8}}, ""},
      {"1(px)", spin_lm, {{6}, {7}}, ""},
      {"1(f)", lmf, {{9, 10, 11, 12, 13, 14, 15}}, ""},
      {"1(s,fx3)", lmf, {{0, 15}}, ""},
      {"1(pz)", nc_lm, {{8}, {9}, {10}, {11}}, ""},
      {"1(t2g)", l, {}, "t2g needs l,m-projected columns: the file's orbitals are s p d"},
      {"1(px)", lf, {}, "px needs l,m-projected columns: the file's orbitals are s p d f"},
      {"1(f)", lm, {}, "f is not in the file: the file's orbitals are s py pz px dxy"},
      {"1(fz3)", spin_lm, {}, "fz3 is not in the file"},
      {"3", l, {}, "atom 3 is not in the file, which has 2 atoms"},
      {"1,3", l, {}, "atom 3 is not in the file, which has 2 atoms"},  // a later range
      {"1-2,4-9", l, {}, "atom 9 is not in the file"},
      {"O", l, {}, "no atom of element O: the structure has Ti, Fe"},
      {"Fe(s)", l, {{0}}, ""},
      {"Ti,Fe(p)", l, {{1}}, ""},
      {"all(p)", l, {{1}}, ""},
      {"Fe,O", l, {}, "no atom of element O: the structure has Ti, Fe"},
  };
  const std::vector<std::string> symbols = {"Ti", "Fe"};
  for (const PlanRow& row : rows) {
    SCOPED_TRACE(row.text);
    pds::SelectionPlan plan;
    const std::string error = error_of(
        [&] { plan = pds::plan_selection(pds::parse_selection(row.text), row.kind, 2, &symbols); });
    EXPECT_NE(error.find(row.error), std::string::npos) << error;
    if (*row.error == '\0') {
      EXPECT_EQ(plan.channels, row.channels);
    }
  }
  // The atoms of whole-file and element selections, ascending.
  const std::pair<const char*, std::vector<std::int64_t>> atom_rows[] = {
      {"all", {1, 2}}, {"Fe,Ti", {1, 2}}, {"Fe", {2}}, {"2,1-1", {1, 2}}};
  for (const auto& [text, want] : atom_rows) {
    EXPECT_EQ(pds::plan_selection(pds::parse_selection(text), l, 2, &symbols).atoms, want) << text;
  }
  EXPECT_NE(error_of([&] {
              pds::plan_selection(pds::parse_selection("all"), l, 0, &symbols);
            }).find("the file has no atoms"),
            std::string::npos);
}

struct SumRow {
  Columns channels;
  std::vector<double> want;  // rows of the energy and each channel
};

TEST(Selection, AddsAtomsInOrderThenColumnsInFileOrder) {
  // Two atoms of two rows of three values. In row 1, adding atom by atom
  // gives 1e16 + 1 - 1e16 + 1 = 1; adding column by column would give 2.
  const double a1[] = {-1, 1e16, 1, 5, 0, 2, 3, 4};
  const double a2[] = {-1, -1e16, 1, 7, 0, 1, 1, 1};
  pds::SelectionBlocks in;
  in.energy = a1;
  in.energy_stride = 4;
  in.blocks = {a1, a2};
  in.rows = 2;
  in.width = 4;
  const SumRow rows[] = {
      {{{0, 1}}, {-1, 1e16 + 1 - 1e16 + 1, 0, 2.0 + 3 + 1 + 1}},
      {{{1}, {2, 0}}, {-1, 1.0 + 1, 5 + 1e16 + 7 - 1e16, 0, 3.0 + 1, 4.0 + 2 + 1 + 1}},
      {{{}}, {-1, 0.0, 0, 0.0}},
  };
  for (const SumRow& row : rows) {
    std::vector<double> out(row.want.size());
    pds::add_selection(out.data(), in, row.channels);
    EXPECT_EQ(out, row.want);
  }
}

TEST(Selection, HeaderNamesStandOverTheirColumns) {
  using Names = std::vector<std::string>;
  const std::pair<Names, const char*> rows[] = {
      {{"energy", "O(p)_up"}, "#    energy     O(p)_up"},
      {{"0123456789", "0123456789a"}, "#0123456789 0123456789a"},
      {{"0123456789A", "Fe(t2g,eg)_down", "x"}, "#0123456789A Fe(t2g,eg)_down           x"},
  };
  for (const auto& [names, want] : rows) EXPECT_EQ(pds::column_header(names), want);
  for (const char* bad : {"", "a b", "a\tb"}) {
    EXPECT_NE(error_of([&] {
                pds::column_header({"energy", bad});
              }).find("one word"),
              std::string::npos);
  }
}

}  // namespace
