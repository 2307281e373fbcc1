// The register viewer's table arithmetic, its cell texts and edits, and its
// failure path on the memory console (no link: every read fails at once).
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "link/link.h"
#include "link/link_setup.h"
#include "regview/regview.h"
#include "ui/keys.h"
#include "ui_fixture.h"

namespace {

enum Action { KEY, TYPED, ROWS };

struct PosCase {
  const char *what;
  int rows;
  ViewerPos from;
  Action action;
  long arg;   // the key, the typed number or the new number of rows
  ViewerPos want;
};

const PosCase pos_cases[] = {
    {"typing 1234 on row 7", 20, {1, 7}, TYPED, 1234, {1232, 7}},
    {"typing 65535 on row 5", 20, {1, 5}, TYPED, 65535, {65517, 23}},
    {"typing 1 on row 7 selects register 1", 20, {100, 7}, TYPED, 1, {1, 5}},
    {"typing 0 selects register 1", 20, {100, 9}, TYPED, 0, {1, 5}},
    {"typing past 65536 selects 65536", 20, {1, 7}, TYPED, 9999999, {65517, 24}},
    {"Down inside the table", 20, {100, 5}, KEY, KEY_DOWN, {100, 6}},
    {"Down on the last row scrolls three to the next register", 20, {100, 24}, KEY, KEY_DOWN, {103, 22}},
    {"Down at the end keeps 65536", 20, {65517, 24}, KEY, KEY_DOWN, {65517, 24}},
    {"Down on the last row near the end", 20, {65515, 24}, KEY, KEY_DOWN, {65517, 23}},
    {"Up on row 5 at register 2", 20, {2, 5}, KEY, KEY_UP, {1, 5}},
    {"Up on row 5 scrolls three to the previous register", 20, {100, 5}, KEY, KEY_UP, {97, 7}},
    {"Up near register 1 stops on it", 20, {3, 5}, KEY, KEY_UP, {1, 6}},
    {"Up on register 1", 20, {1, 5}, KEY, KEY_UP, {1, 5}},
    {"PgDn by half the rows", 20, {100, 9}, KEY, KEY_PGDN, {110, 9}},
    {"PgUp at 5 gives 1", 20, {5, 9}, KEY, KEY_PGUP, {1, 9}},
    {"PgDn past the end", 20, {65510, 10}, KEY, KEY_PGDN, {65517, 13}},
    {"PgDn with 7 rows", 7, {100, 5}, KEY, KEY_PGDN, {104, 5}},
    {"Home", 20, {500, 12}, KEY, KEY_HOME, {100, 5}},
    {"one row: Down", 1, {100, 5}, KEY, KEY_DOWN, {101, 5}},
    {"one row: Up", 1, {100, 5}, KEY, KEY_UP, {99, 5}},
    {"one row: Down at 65536", 1, {65536, 5}, KEY, KEY_DOWN, {65536, 5}},
    {"one row: Up at 1", 1, {1, 5}, KEY, KEY_UP, {1, 5}},
    {"one row: typing 1234", 1, {1, 5}, TYPED, 1234, {1234, 5}},
    {"three rows: Down on the last row", 3, {100, 7}, KEY, KEY_DOWN, {101, 7}},
    {"three rows: Up on the first row", 3, {100, 5}, KEY, KEY_UP, {99, 5}},
    {"four rows: Down on the last row", 4, {100, 8}, KEY, KEY_DOWN, {103, 6}},
    {"shrunk to 5 keeps the register", 20, {100, 24}, ROWS, 5, {115, 9}},
    {"shrunk to 1 keeps the register", 20, {100, 24}, ROWS, 1, {119, 5}},
    {"shrunk at the end", 20, {65517, 24}, ROWS, 5, {65532, 9}},
    {"grown at the end", 5, {65532, 9}, ROWS, 20, {65517, 24}},
    {"a selection above the cut stays", 20, {100, 6}, ROWS, 5, {100, 6}},
};

}  // namespace

TEST(RegisterViewerTable, KeysTypedNumbersAndSizeChangesKeepTheSelectionInside) {
  constexpr int start_register = 100;
  for (const PosCase &c : pos_cases) {
    SCOPED_TRACE(c.what);
    ViewerPos p = c.from;
    int rows = c.rows;
    switch (c.action) {
      case KEY: viewer_move(p, static_cast<KeyCode>(c.arg), rows, start_register); break;
      case TYPED: viewer_goto(p, c.arg, rows); break;
      case ROWS:
        rows = static_cast<int>(c.arg);
        viewer_fit(p, rows);
        break;
    }
    EXPECT_EQ(p.first, c.want.first);
    EXPECT_EQ(p.row, c.want.row);
    // Every result is a table inside 1 .. 65536 with the selection on it.
    EXPECT_GE(p.first, 1);
    EXPECT_LE(p.first + rows - 1, VIEWER_LAST_REGISTER);
    EXPECT_GE(p.row, VIEWER_FIRST_ROW);
    EXPECT_LE(p.row, VIEWER_FIRST_ROW + rows - 1);
  }
}

TEST(RegisterViewerCells, EachColumnShowsTheValue) {
  struct {
    int column;
    uint16_t value;
    const char *shown;
  } cases[] = {
      {VCOL_HEX, 0x1234, " 1234"},
      {VCOL_HEX, 0x00AB, " 00AB"},
      {VCOL_UNSIGN, 0xFFFF, "  65535"},
      {VCOL_UNSIGN, 7, "      7"},
      {VCOL_SIGNED, 0xFFFF, "     -1"},
      // The signal level register 2060 in tenths of a dBm.
      {VCOL_SIGNED, static_cast<uint16_t>(-523), "   -523"},
      {VCOL_SIGNED, 5, "      5"},
      {VCOL_SIGNED, static_cast<uint16_t>(-5), "     -5"},
      {VCOL_SIGNED, 0x8000, " -32768"},
      {VCOL_BINARY, 0x8007, " 1000 0000 0000 0111 "},
  };
  for (const auto &c : cases) {
    char text[32];
    viewer_cell_text(c.column, c.value, text, sizeof text);
    EXPECT_EQ(std::string(text), c.shown) << "column " << c.column << " value " << c.value;
  }
  char text[32];
  viewer_edit_text(VCOL_SIGNED, 0xFFFF, text, sizeof text);
  EXPECT_STREQ(text, "-1");
  viewer_edit_text(VCOL_BINARY, 0x8007, text, sizeof text);
  EXPECT_STREQ(text, "1000 0000 0000 0111");
}

TEST(RegisterViewerCells, EveryValueComesBackFromItsEditText) {
  for (int column = VCOL_HEX; column <= VCOL_BINARY; column++) {
    for (unsigned v = 0; v <= 0xFFFF; v++) {
      char text[32];
      viewer_edit_text(column, static_cast<uint16_t>(v), text, sizeof text);
      uint16_t back = 0;
      ASSERT_TRUE(viewer_parse_edit(column, text, &back)) << column << " " << text;
      ASSERT_EQ(back, v) << column << " " << text;
    }
  }
}

TEST(RegisterViewerCells, TypedTextsOutsideSixteenBitsAreRefused) {
  struct {
    int column;
    const char *text;
    bool ok;
    uint16_t value;
  } cases[] = {
      {VCOL_HEX, "7", true, 7},
      {VCOL_HEX, "", true, 0},
      {VCOL_HEX, "00FFFF", true, 0xFFFF},
      {VCOL_HEX, "10000", false, 0},
      {VCOL_UNSIGN, "", true, 0},
      {VCOL_UNSIGN, "65536", false, 0},
      {VCOL_UNSIGN, "999999", false, 0},
      {VCOL_SIGNED, "-32768", true, 0x8000},
      {VCOL_SIGNED, "32768", false, 0},
      {VCOL_SIGNED, "-32769", false, 0},
      {VCOL_SIGNED, "-", false, 0},
      {VCOL_SIGNED, "5-3", false, 0},
      {VCOL_SIGNED, "--5", false, 0},
      {VCOL_BINARY, "1000 0000 0000 011 ", false, 0},
      {VCOL_BINARY, "1000 0000 0000 01111", false, 0},
  };
  for (const auto &c : cases) {
    uint16_t v = 0xDEAD;
    EXPECT_EQ(viewer_parse_edit(c.column, c.text, &v), c.ok) << c.column << " \"" << c.text << "\"";
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.text;
    }
  }
}

namespace {

class RegisterViewerNoLink : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    default_link_setup(&link_setup);
    link_setup.rv_screen_size = 3;
    link_setup.rv_start_register = 100;
    link_handle = nullptr;
    link_screens_init();   // the trap setting reaches the error box as at start-up
    key_queue_reset();
  }
  void TearDown() override {
    key_queue_reset();
    UiTest::TearDown();
  }
};

}  // namespace

TEST_F(RegisterViewerNoLink, TrapNoShowsErrorRowsAndTheTextOnRow25AndKeepsTrying) {
  link_setup.trap_errors = 1;
  RegisterViewer v;
  ASSERT_TRUE(viewer_enter(&v, VIEWER_STATUS_OFFSET));
  EXPECT_EQ(row(4).substr(0, 58), "REGSTR   HEX   UNSIGN  SIGNED         BINARY          STAT");
  EXPECT_EQ(row(9).substr(61, 17), "Press F2 for Help");
  EXPECT_EQ(shadow_index(9, 68), 2);
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 4; i++) EXPECT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  // A read that fails at once is not retried in a busy loop: once more at
  // the usual pace, then after a longer pause each time.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
  for (int r = 5; r <= 7; r++) {
    SCOPED_TRACE(r);
    EXPECT_EQ(row(r).substr(0, 7), "  4x" + std::to_string(95 + r));
    EXPECT_EQ(row(r).substr(9, 20), "ERROR               ");
    EXPECT_EQ(shadow_index(r, 10), r == 5 ? 2 : 4);   // the selected row stands out
  }
  EXPECT_EQ(row(8), std::string(80, ' '));
  EXPECT_EQ(row(25).substr(39, 25), "Unable to establish link.");
  EXPECT_EQ(shadow_index(25, 40), 4);
  // Rows left unformatted while unchanged are drawn again once something
  // else has written over them.
  clear_to_eol(6, 1);
  EXPECT_EQ(viewer_refresh(&v), VIEWER_REFRESHED);
  EXPECT_EQ(row(6).substr(0, 29), "  4x101  ERROR               ");
  EXPECT_EQ(shadow_index(6, 10), 4);
  // A key ends the retries; Esc leaves and takes the table away.
  push_keys("\x1b");
  EXPECT_EQ(viewer_refresh(&v), VIEWER_KEY);
  EXPECT_FALSE(viewer_key(&v));
  viewer_leave(&v);
  EXPECT_EQ(row(4), std::string(80, ' '));
  EXPECT_EQ(row(5), std::string(80, ' '));
}

TEST_F(RegisterViewerNoLink, EscInTheErrorBoxLeaves) {
  RegisterViewer v;
  ASSERT_TRUE(viewer_enter(&v, VIEWER_STATUS_OFFSET));
  // Nothing typed: the memory keyboard answers Esc in the box.
  EXPECT_EQ(viewer_refresh(&v), VIEWER_KEY);
  EXPECT_EQ(wait_key_seen, 2);
  EXPECT_FALSE(viewer_key(&v));
  viewer_leave(&v);
}
