#include "store/keyconfig.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "os/file.h"
#include "os/log.h"
#include "tests/support/testhome.h"

namespace zentu {
namespace {

using testing::LogContains;
using testing::SJ;

class KeyConfigTest : public testing::TempHome {
 protected:
  KeyConfig Load(KeyList list, const std::string& bytes) {
    WriteNative("keys.dat", bytes);
    KeyConfig c;
    c.list = list;
    EXPECT_EQ(LoadKeyConfig(Path("keys.dat"), c), 1);
    return c;
  }
  static const KeyBinding& Named(const KeyConfig& c, const char* utf8, int nth = 0) {
    for (const KeyBinding& b : c.bindings)
      if (b.name == SJ(utf8) && nth-- == 0) return b;
    ADD_FAILURE() << utf8;
    return c.bindings.front();
  }
};

TEST_F(KeyConfigTest, BothListsAreDeclaredWithTheirSizesAndDuplicates) {
  KeyConfig g, e;
  DeclareActions(g, KeyList::General);
  DeclareActions(e, KeyList::Editor);
  ASSERT_EQ(g.bindings.size(), 179u);
  ASSERT_EQ(e.bindings.size(), 29u);
  EXPECT_EQ(g.bindings.front().command, 40012);
  EXPECT_EQ(g.bindings.back().command, 40032);
  EXPECT_EQ(e.bindings.front().command, 40306);
  int shows = 0, folders = 0;
  for (size_t i = 0; i < g.bindings.size(); ++i) {
    EXPECT_EQ(g.bindings[i].ordinal, static_cast<int>(i));
    EXPECT_EQ(g.bindings[i].key, -1);
    shows += g.bindings[i].command == 40336;
    folders += g.bindings[i].command == 40107;
  }
  EXPECT_EQ(shows, 2);
  EXPECT_EQ(folders, 2);
}

TEST_F(KeyConfigTest, BindingTextsParseToTheirKeys) {
  struct Row {
    const char* text;
    KeyCombination want;
  } const rows[] = {
      {"F10", {false, false, false, kKeyF1 + 9}},   // not F1 followed by "0"
      {"F1", {false, false, false, kKeyF1}},
      {"F12", {false, false, false, kKeyF1 + 11}},
      {"C+W", {true, false, false, 22}},
      {"C+A+S+H", {true, true, true, 7}},
      {"A+F4", {false, true, false, kKeyF1 + 3}},
      {"C+SPACE", {true, false, false, kKeySpace}},
      {"S+ESCAPE", {false, false, true, kKeyEscape}},
      {"A+END", {false, true, false, kKeyEnd}},
      {"C+0", {true, false, false, kKey0}},
      {"C+9", {true, false, false, kKey0 + 9}},
      {"C+a", {true, false, false, -1}},            // lower case is no key word
      {"C+", {true, false, false, -1}},
      {"", {false, false, false, -1}},
      {"C+@", {true, false, false, -1}},
  };
  for (const Row& r : rows) {
    KeyBinding b;
    ParseBindingText(r.text, b);
    EXPECT_EQ(b.Combination(), r.want) << r.text;
  }
}

TEST_F(KeyConfigTest, FileLinesOverrideDefaultsAndMissingLinesGetThem) {
  const KeyConfig g = Load(KeyList::General, SJ("# キーコンフィグファイル\r\n"
                                                "タブを閉じる\tC+W\r\n"
                                                "名前の変更\t\r\n"
                                                "ログ表示\tF10\r\n"
                                                "誰も知らない操作\tC+K\r\n"));
  // The old name of the close command binds Ctrl+W to it.
  EXPECT_EQ(LookupCommand(g, {true, false, false, 22}), 40327);
  // A name with nothing after the tab stays unbound: the default F2 is not given.
  EXPECT_EQ(Named(g, "名前の変更").key, -1);
  EXPECT_EQ(LookupCommand(g, {false, false, false, kKeyF1 + 1}), 0);
  EXPECT_EQ(Named(g, "ログ表示").key, kKeyF1 + 9);
  // Untouched actions have their defaults; the unknown line is ignored.
  EXPECT_EQ(LookupCommand(g, {false, true, false, kKeyF1 + 3}), 40004);
  EXPECT_EQ(LookupCommand(g, {true, false, false, 10}), 0);
  // Ctrl+W is also the browser-focus default: the file's choice wins and that
  // default is not given.
  EXPECT_EQ(Named(g, "ブラウザ部にフォーカスを合わせる").key, -1);
  EXPECT_EQ(LookupCommand(g, {true, false, true, 19}), 40343);
}

TEST_F(KeyConfigTest, CaptureHotKeyDefaultsYieldToCombinationsInUse) {
  // Ctrl+Shift+T is taken by another command from the file.
  const KeyConfig g = Load(KeyList::General, SJ("URLアイテムを作成\tC+S+T\r\n"));
  EXPECT_EQ(LookupCommand(g, {true, false, true, 19}), 40012);
  EXPECT_EQ(Named(g, "選択範囲をテキスト形式で取り込む").key, -1);
  EXPECT_EQ(Named(g, "選択範囲をHTML形式で取り込む").Combination(), (KeyCombination{true, false, true, 7}));
}

TEST_F(KeyConfigTest, MissingFileLogsAndAppliesTheDefaults) {
  KeyConfig g;
  g.list = KeyList::General;
  EXPECT_EQ(LoadKeyConfig(Path("none.dat"), g), 0);
  EXPECT_TRUE(LogContains("# File not found : " + Path("none.dat")));
  EXPECT_TRUE(LogContains("# Load and Set Default Hotkey"));
  EXPECT_EQ(LookupCommand(g, {true, false, false, kKeyF1 + 9}), 40133);
  EXPECT_EQ(LookupCommand(g, {true, false, false, 18}), 40029);
  for (const KeyBinding& b : g.bindings) EXPECT_TRUE(b.fromFile);
}

TEST_F(KeyConfigTest, SavedFilesReadBackEveryLineUnderItsOwnName) {
  for (KeyList list : {KeyList::General, KeyList::Editor}) {
    KeyConfig c;
    c.list = list;
    DeclareActions(c, list);
    ApplyDefaultKeys(c);
    std::mt19937 rng(static_cast<unsigned>(list == KeyList::General ? 7 : 11));
    for (KeyBinding& b : c.bindings) {
      const int key = static_cast<int>(rng() % (kKeyNameCount + 1)) - 1;
      b.Set({(rng() & 1) != 0, (rng() & 2) != 0, (rng() & 4) != 0, key});
      if (key < 0) b.Set({});
    }
    ASSERT_EQ(SaveKeyConfig(Path("out.dat"), c, true), 1);
    const std::string bytes = ReadNative("out.dat");
    EXPECT_EQ(bytes.rfind(list == KeyList::General ? SJ("# キーコンフィグファイル\r\n")
                                                   : SJ("# エディタ部用キーコンフィグファイル\r\n"),
                          0),
              0u);
    EXPECT_NE(bytes.find(SJ("# フォーマットは (CONTROL)+(ALT)+(SHIFT)+(KEY) の順\r\n")), std::string::npos);
    KeyConfig back;
    back.list = list;
    ASSERT_EQ(LoadKeyConfig(Path("out.dat"), back), 1);
    ASSERT_EQ(back.bindings.size(), c.bindings.size());
    for (size_t i = 0; i < c.bindings.size(); ++i)
      EXPECT_EQ(back.bindings[i].Combination(), c.bindings[i].Combination()) << i;
  }
}

TEST_F(KeyConfigTest, SavingDisabledWritesNothing) {
  KeyConfig g;
  DeclareActions(g, KeyList::General);
  EXPECT_EQ(SaveKeyConfig(Path("no.dat"), g, false), 0);
  EXPECT_FALSE(os::PathExists(Path("no.dat")));
}

TEST_F(KeyConfigTest, DuplicateActionsKeepTheirOwnLines) {
  const KeyConfig g = Load(KeyList::General, SJ("保存フォルダを開く\tC+A+1\r\n"
                                                "保存フォルダを開く\tC+A+2\r\n"
                                                "フォルダを作成\tC+A+3\r\n"
                                                "フォルダ作成\tC+A+4\r\n"));
  EXPECT_EQ(Named(g, "保存フォルダを開く", 0).key, kKey0 + 1);
  EXPECT_EQ(Named(g, "保存フォルダを開く", 1).key, kKey0 + 2);
  EXPECT_EQ(Named(g, "フォルダを作成").key, kKey0 + 3);
  EXPECT_EQ(Named(g, "フォルダ作成").key, kKey0 + 4);
  EXPECT_EQ(LookupCommand(g, {true, true, false, kKey0 + 2}), 40336);
  EXPECT_EQ(LookupCommand(g, {true, true, false, kKey0 + 4}), 40107);
}

TEST_F(KeyConfigTest, DialogRefusesKeysAloneAndClashes) {
  KeyConfig g;
  DeclareActions(g, KeyList::General);
  ApplyDefaultKeys(g);
  const size_t rename = 31;  // "名前の変更"
  ASSERT_EQ(g.bindings[rename].command, 40001);
  struct Row {
    KeyCombination keys;
    BindingCheck want;
  } const rows[] = {
      {{false, false, false, 0}, BindingCheck::NeedsModifier},       // A alone
      {{false, false, false, kKeySpace}, BindingCheck::NeedsModifier},
      {{false, false, false, kKeyPause}, BindingCheck::Ok},
      {{false, false, false, kKeyEscape}, BindingCheck::Ok},
      {{false, false, false, kKeyF1 + 11}, BindingCheck::Ok},
      {{false, false, true, 0}, BindingCheck::Ok},
      {{true, false, false, 18}, BindingCheck::Clash},               // Ctrl+S is the save key
      {{false, false, false, kKeyF1 + 1}, BindingCheck::Ok},         // its own F2
      {{}, BindingCheck::Ok},                                        // clearing
  };
  for (const Row& r : rows) {
    size_t with = 999;
    EXPECT_EQ(CheckBinding(g, rename, r.keys, &with), r.want) << CombinationText(r.keys);
    if (r.want == BindingCheck::Clash) {
      EXPECT_EQ(g.bindings[with].command, 40029);
    }
  }
}

TEST_F(KeyConfigTest, DamagedFilesAreReadLineByLine) {
  std::string bytes = SJ("ログ表示\tC+A+L\r\n");
  bytes += std::string("\0\0\x81\t\xff\xfe", 6) + "\r\n";              // NUL junk
  bytes += std::string(5000, 'x') + "\tC+Z\r\n";                        // overlong line
  bytes += SJ("\tC+Q\r\n");                                            // no name
  bytes += SJ("セーブ\tC+A+S+F99+UP+\x81\x40\r\n");                     // junk after the key
  bytes += SJ("ペースト");                                              // no tab, no line end
  const KeyConfig g = Load(KeyList::General, bytes);
  EXPECT_EQ(Named(g, "ログ表示").Combination(), (KeyCombination{true, true, false, 11}));
  EXPECT_EQ(g.bindings.front().key, -1);                               // the empty name named nothing
  EXPECT_EQ(Named(g, "セーブ").Combination(), (KeyCombination{true, true, true, kKeyUp}));
  EXPECT_EQ(Named(g, "ペースト").key, -1);
  // Random bytes never break the reader or bind outside the table.
  std::mt19937 rng(5);
  for (int round = 0; round < 50; ++round) {
    std::string junk;
    for (int i = 0; i < 400; ++i) junk += static_cast<char>(rng() % 4 == 0 ? '\t' : rng() % 256);
    const KeyConfig c = Load(round % 2 ? KeyList::Editor : KeyList::General, junk);
    for (const KeyBinding& b : c.bindings) EXPECT_TRUE(b.key >= -1 && b.key < kKeyNameCount);
  }
}

TEST_F(KeyConfigTest, VirtualKeysAndTexts) {
  EXPECT_EQ(VirtualKeyOfIndex(0), 'A');
  EXPECT_EQ(VirtualKeyOfIndex(kKey0 + 5), '5');
  EXPECT_EQ(VirtualKeyOfIndex(kKeyF1), 112);
  EXPECT_EQ(VirtualKeyOfIndex(kKeyF1 + 11), 123);
  EXPECT_EQ(VirtualKeyOfIndex(kKeyEnd), 35);
  EXPECT_EQ(VirtualKeyOfIndex(kKeyNameCount), 0);
  EXPECT_EQ(CombinationText({true, true, true, kKeyF1 + 9}), "Ctrl+Alt+Shift+F10");
  EXPECT_EQ(BindingFileText({true, false, true, kKeyHome}), "C+S+HOME");
  EXPECT_EQ(BindingFileText({true, false, false, -1}), "");
}

}  // namespace
}  // namespace zentu
