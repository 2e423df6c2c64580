#include "store/keyconfig.h"

#include <array>
#include <cstring>

#include "os/cp932.h"
#include "os/file.h"
#include "os/log.h"
#include "store/configfiles.h"
#include "store/listfile_io.h"
#include "store/profile.h"

namespace zentu {
namespace {

struct Action {
  int command;
  const char* nameUtf8;
};

// The order is the files' order and the dialog's; do not sort.
constexpr Action kGeneralActions[] = {
    {40012, "URLアイテムを作成"},
    {40011, "テキストを作成"},
    {40107, "フォルダを作成"},
    {40029, "セーブ"},
    {40087, "すべて選択"},
    {40084, "コピー"},
    {40085, "ペースト"},
    {40083, "カット"},
    {40081, "Undo"},
    {40181, "印刷"},
    {40124, "ページダウン"},
    {40125, "ページアップ"},
    {40369, "フォーカスを移さずにページダウン"},
    {40370, "フォーカスを移さずにページアップ"},
    {40160, "既読に設定"},
    {40159, "未読に設定"},
    {40163, "フォルダ以下全更新"},
    {40367, "指定のアイテムを一括更新"},
    {40097, "データ再読み込み"},
    {40094, "前のページに戻る"},
    {40095, "次のページに進む"},
    {40392, "次の未読アイテムを開く"},
    {40409, "次のマーク1のアイテムを開く"},
    {40410, "次のマーク2のアイテムを開く"},
    {40411, "次のマーク3のアイテムを開く"},
    {40413, "次のマーク4のアイテムを開く"},
    {40414, "次のマーク5のアイテムを開く"},
    {40415, "次のマーク6のアイテムを開く"},
    {40416, "次のマーク7のアイテムを開く"},
    {40418, "次のマーク8のアイテムを開く"},
    {40419, "次のマーク9のアイテムを開く"},
    {40001, "名前の変更"},
    {40086, "アイテムの削除"},
    {40003, "アイテムの追加"},
    {40364, "アイテムを上に移動"},
    {40365, "アイテムを下に移動"},
    {40366, "アイテムを上の階層に移動"},
    {40229, "表示中のページを取り込み"},
    {40230, "表示中のページを登録"},
    {40342, "表示中のサイトを取り込む"},
    {40343, "選択範囲をテキスト形式で取り込む"},
    {40345, "選択範囲をHTML形式で取り込む"},
    {40348, "選択範囲のHTMLとリンク先を取り込む"},
    {40344, "クリップボードからテキスト形式で取り込む"},
    {40347, "クリップボードからHTML形式で取り込む"},
    {40355, "クリップボードからURLを取り込む"},
    {40336, "保存フォルダを開く"},
    {40228, "キーワードからWEBページを開く"},
    {40089, "ページ内検索"},
    {40149, "タイトル検索"},
    {40164, "コンテンツ検索"},
    {40148, "URL検索"},
    {40399, "フォルダ検索"},
    {40147, "未読検索"},
    {40150, "マーク1を検索"},
    {40151, "マーク2を検索"},
    {40152, "マーク3を検索"},
    {40153, "マーク4を検索"},
    {40154, "マーク5を検索"},
    {40155, "マーク6を検索"},
    {40156, "マーク7を検索"},
    {40157, "マーク8を検索"},
    {40158, "マーク9を検索"},
    {40136, "マーク1を設定"},
    {40137, "マーク2を設定"},
    {40138, "マーク3を設定"},
    {40139, "マーク4を設定"},
    {40140, "マーク5を設定"},
    {40141, "マーク6を設定"},
    {40142, "マーク7を設定"},
    {40143, "マーク8を設定"},
    {40144, "マーク9を設定"},
    {40145, "マークを解除"},
    {40390, "リストアイテムに番号を設定"},
    {40391, "リストアイテムから番号をカット"},
    {40513, "直接編集モード切り替え"},
    {40509, "ブラウザコントロールを表示"},
    {40507, "ブラウザコントロールを非表示"},
    {40472, "ハイライトキーワード設定"},
    {40436, "マーカー設定"},
    {40505, "マーカー2設定"},
    {40442, "ウェブページから選択範囲を削除"},
    {40469, "マーカー情報などを保存"},
    {40461, "オートナビゲート開始"},
    {40462, "オートナビゲート終了"},
    {40172, "ブラウザ部にフォーカスを合わせる"},
    {40171, "リスト部にフォーカスを合わせる"},
    {40170, "ツリー部にフォーカスを合わせる"},
    {40131, "URL部にフォーカスを合わせる"},
    {40162, "ブラウザリロード"},
    {40521, "ダウンロードマネージャ表示"},
    {40112, "ログ表示"},
    {40041, "ソースを表示"},
    {40010, "プロパティ"},
    {40120, "ウインドウを隠す"},
    {40312, "ウインドウを最小化"},
    {40133, "ウインドウを表示(全体へのホットキー)"},
    {40325, "ローカルファイルを指定のブラウザで開く"},
    {40326, "オリジナルURLを指定のブラウザで開く"},
    {40336, "保存フォルダを開く"},
    {40111, "このページを指定のブラウザで開く"},
    {40501, "このページを指定のエディタで開く"},
    {40175, "フォルダを開く"},
    {40176, "フォルダを閉じる"},
    {40107, "フォルダ作成"},
    {40288, "同期フォルダ作成"},
    {40173, "次のアイテムを選択"},
    {40174, "前のアイテムを選択"},
    {40038, "オリジナルのURLに接続"},
    {40039, "ローカルファイルを開く"},
    {40327, "アクティブなタブを閉じる"},
    {40482, "このタブ以外全て閉じる"},
    {40249, "新しいタブを開く"},
    {40387, "新規タブで新規テキストを開く"},
    {40310, "新規タブでローカルファイルを開く"},
    {40311, "新規タブでオリジナルサイトを開く"},
    {40263, "新規タブでキーワードからWEBを開く"},
    {40250, "左のタブに移動"},
    {40251, "右のタブに移動"},
    {40252, "タブのタイトルをコピー"},
    {40253, "タブのURLをコピー"},
    {40254, "タブのタイトル＋URLをコピー"},
    {40036, "リストウインドウの表示切替"},
    {40034, "ツリーウインドウの表示切替"},
    {40135, "ステータスバーの表示切替"},
    {40268, "ブラウザエディタ表示切替"},
    {40357, "最前面表示モード切替"},
    {40359, "最前面表示に設定"},
    {40360, "最前面表示を解除"},
    {40098, "フォントサイズ最大に設定"},
    {40099, "フォントサイズ大に設定"},
    {40100, "フォントサイズ中に設定"},
    {40101, "フォントサイズ小に設定"},
    {40102, "フォントサイズ最小に設定"},
    {41007, "タイトルで昇順ソート(フォルダが先)"},
    {41008, "タイトルで降順ソート(フォルダが先)"},
    {41005, "タイトルで昇順ソート(ファイルが先)"},
    {41006, "タイトルで降順ソート(ファイルが先)"},
    {41009, "URLで昇順ソート(フォルダが先)"},
    {41010, "URLで降順ソート(フォルダが先)"},
    {41002, "URLで昇順ソート(ファイルが先)"},
    {41001, "URLで降順ソート(ファイルが先)"},
    {41015, "ダウンロード日で昇順ソート(フォルダが先)"},
    {41016, "ダウンロード日で降順ソート(フォルダが先)"},
    {41017, "ダウンロード日で昇順ソート(ファイルが先)"},
    {41018, "ダウンロード日で降順ソート(ファイルが先)"},
    {41011, "最終更新日で昇順ソート(フォルダが先)"},
    {41012, "最終更新日で降順ソート(フォルダが先)"},
    {41013, "最終更新日で昇順ソート(ファイルが先)"},
    {41014, "最終更新日で降順ソート(ファイルが先)"},
    {41019, "ファイルサイズで昇順ソート(フォルダが先)"},
    {41020, "ファイルサイズで降順ソート(フォルダが先)"},
    {41021, "ファイルサイズで昇順ソート(ファイルが先)"},
    {41022, "ファイルサイズで降順ソート(ファイルが先)"},
    {41000, "ソートなし"},
    {5017, "リストからURL追加"},
    {40049, "リスト(IRIA)からURL追加"},
    {40050, "リスト(REGET)からURL追加"},
    {40052, "リスト(MBL)からURL追加"},
    {40051, "リスト(TEXT)からURL追加"},
    {40045, "バックアップの取り込み"},
    {40047, "レジストリに追加"},
    {40048, "レジストリから削除"},
    {40046, "表示をデフォルトに戻す"},
    {40333, "ネットワークを接続状態に設定"},
    {40334, "ネットワークを切断状態に設定"},
    {40337, "オンライン状態に設定"},
    {40338, "オフライン状態に設定"},
    {40166, "グループの表示設定"},
    {40103, "環境設定"},
    {40471, "取り込み設定"},
    {40031, "ヘルプの表示"},
    {40004, "アプリケーションの終了"},
    {40040, "Zentuのサイト表示"},
    {40134, "ZentuのBBSを表示"},
    {40044, "Zentuの更新履歴を表示"},
    {40105, "バージョン表示"},
    {40043, "ZentuToDoを表示"},
    {40032, "ZentuのAboutを表示"},
};

constexpr Action kEditorActions[] = {
    {40306, "テキストの上書き保存"},
    {40275, "行頭へ移動"},
    {40276, "行末へ移動"},
    {40274, "左へ1文字移動"},
    {40273, "右へ1文字移動"},
    {40272, "1行上へ移動"},
    {40271, "1行下へ移動"},
    {40281, "ページアップ"},
    {40280, "ページダウン"},
    {40467, "ファイルの先頭へ移動"},
    {40466, "ファイルの末尾へ移動"},
    {40277, "左の文字を削除(BACKSPACE)"},
    {40278, "右の文字を削除(DELETE)"},
    {40283, "行末までカット"},
    {40319, "現在の行を削除"},
    {40282, "コピー(COPY)"},
    {40284, "切り取り(CUT)"},
    {40279, "貼り付け(PASTE)"},
    {40285, "元に戻す(UNDO)"},
    {40286, "やり直し(REDO)"},
    {40287, "改行(ENTER)"},
    {40316, "全て選択"},
    {40318, "検索"},
    {40317, "次を検索"},
    {40372, "置換"},
    {40320, "指定行へジャンプ"},
    {40323, "日付を挿入"},
    {40299, "フォントサイズを大きくする"},
    {40300, "フォントサイズを小さくする"},
};

struct DefaultKey {
  int command;
  KeyCombination keys;
  bool onlyWhenFree;  // given only when no other command holds the combination
};

constexpr KeyCombination C(int key) { return {true, false, false, key}; }
constexpr KeyCombination A(int key) { return {false, true, false, key}; }
constexpr KeyCombination K(int key) { return {false, false, false, key}; }
constexpr KeyCombination CA(int key) { return {true, true, false, key}; }
constexpr KeyCombination CS(int key) { return {true, false, true, key}; }
constexpr KeyCombination AS(int key) { return {false, true, true, key}; }
constexpr KeyCombination CAS(int key) { return {true, true, true, key}; }
constexpr int L(char c) { return c - 'A'; }
constexpr int D(int d) { return kKey0 + d; }
constexpr int F(int n) { return kKeyF1 + n - 1; }

constexpr DefaultKey kGeneralDefaults[] = {
    {40001, K(F(2)), false},         {40004, A(F(4)), false},         {40011, C(L('M')), false},
    {40029, C(L('S')), false},       {40031, K(F(1)), false},         {40034, K(F(3)), false},
    {40036, K(F(4)), false},         {40081, C(L('Z')), false},       {40083, C(L('X')), false},
    {40084, C(L('C')), false},       {40085, C(L('V')), false},       {40087, C(L('A')), false},
    {40089, CA(L('F')), false},      {40094, A(kKeyLeft), false},     {40095, A(kKeyRight), false},
    {40097, C(L('U')), false},       {40111, K(F(7)), false},         {40112, K(F(6)), false},
    {40120, K(F(10)), false},        {40131, A(L('D')), false},       {40133, C(F(10)), false},
    {40136, C(D(1)), false},         {40137, C(D(2)), false},         {40138, C(D(3)), false},
    {40139, C(D(4)), false},         {40140, C(D(5)), false},         {40141, C(D(6)), false},
    {40142, C(D(7)), false},         {40143, C(D(8)), false},         {40144, C(D(9)), false},
    {40145, C(D(0)), false},         {40147, A(L('B')), false},       {40148, A(L('U')), false},
    {40149, A(L('T')), false},       {40150, A(D(1)), false},         {40151, A(D(2)), false},
    {40152, A(D(3)), false},         {40153, A(D(4)), false},         {40154, A(D(5)), false},
    {40155, A(D(6)), false},         {40156, A(D(7)), false},         {40157, A(D(8)), false},
    {40158, A(D(9)), false},         {40159, C(L('E')), false},       {40160, C(L('R')), false},
    {40162, K(F(5)), false},         {40163, CA(L('U')), false},      {40164, A(L('F')), false},
    {40166, CA(L('G')), false},      {40170, C(L('T')), false},       {40171, C(L('L')), false},
    {40172, C(L('W')), false},       {40173, C(L('N')), false},       {40174, C(L('P')), false},
    {40175, C(L('F')), false},       {40176, C(L('B')), false},       {40181, AS(L('P')), false},
    {40228, C(L('G')), false},       {40249, C(L('O')), false},       {40250, C(kKeyLeft), false},
    {40251, C(kKeyRight), false},    {40263, AS(L('G')), false},      {40268, K(F(8)), false},
    {40310, AS(L('L')), false},      {40311, AS(L('U')), false},      {40327, C(L('Q')), false},
    {40333, CA(L('C')), false},      {40334, CA(L('D')), false},      {40364, CA(L('P')), false},
    {40365, CA(L('N')), false},      {40369, A(kKeyDown), false},     {40370, A(kKeyUp), false},
    {40392, C(kKeySpace), false},    {40399, CS(L('F')), false},
    // The capture hot keys yield to anything the user bound already.
    {40343, CS(L('T')), true},       {40344, CA(L('T')), true},       {40345, CS(L('H')), true},
    {40347, CA(L('H')), true},       {40348, CAS(L('H')), true},
};

// The editor's own keys (arrows, Backspace, Delete, Enter, the copy and undo
// keys) work without bindings; these give the commands that have no such key
// one, so every editor command is reachable from the keyboard.
constexpr DefaultKey kEditorDefaults[] = {
    {40306, C(L('S')), false}, {40318, C(L('F')), false}, {40317, K(F(3)), false},
    {40372, C(L('H')), false}, {40320, C(L('J')), false}, {40323, K(F(5)), false},
    {40283, C(L('K')), false}, {40319, CS(L('K')), false}, {40299, C(kKeyUp), false},
    {40300, C(kKeyDown), false},
};

constexpr std::array<const char*, kKeyNameCount> kKeyNames = {
    "A",  "B",  "C",   "D",   "E",   "F",   "G",  "H",  "I",  "J",  "K",  "L",  "M",  "N",  "O",
    "P",  "Q",  "R",   "S",   "T",   "U",   "V",  "W",  "X",  "Y",  "Z",  "0",  "1",  "2",  "3",
    "4",  "5",  "6",   "7",   "8",   "9",   "F1", "F2", "F3", "F4", "F5", "F6", "F7", "F8", "F9",
    "F10", "F11", "F12", "SPACE", "UP", "DOWN", "LEFT", "RIGHT", "PAUSE", "ESCAPE", "HOME", "END"};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The action a line names. The classic reader took the first action whose name
// starts with the line's name; an exact name is preferred here, and among
// actions of the same name the first one this read has not filled yet, so the
// two lines of an action declared twice each reach their own action.
KeyBinding* FindActionForLine(KeyConfig& config, std::string_view name) {
  if (name.empty()) return nullptr;  // an empty prefix would name the first action
  KeyBinding* exactRead = nullptr;
  for (KeyBinding& b : config.bindings) {
    if (b.name != name) continue;
    if (!b.fromFile) return &b;
    if (!exactRead) exactRead = &b;
  }
  if (exactRead) return exactRead;
  for (KeyBinding& b : config.bindings)
    if (StartsWith(b.name, name)) return &b;
  return nullptr;
}

void ApplyTable(KeyConfig& config, const DefaultKey* begin, const DefaultKey* end, bool conditional) {
  for (const DefaultKey* d = begin; d != end; ++d) {
    if (d->onlyWhenFree != conditional) continue;
    for (KeyBinding& b : config.bindings) {
      if (b.command != d->command || b.fromFile) continue;
      // A combination the user gave another command in the file stays theirs.
      auto it = config.commandMap.find(d->keys);
      if (it != config.commandMap.end() && it->second != d->command) continue;
      b.Set(d->keys);
    }
  }
}

}  // namespace

std::string_view KeyName(int index) {
  if (index < 0 || index >= kKeyNameCount) return {};
  return kKeyNames[static_cast<size_t>(index)];
}

int VirtualKeyOfIndex(int index) {
  if (index >= kKeyA && index < kKey0) return 'A' + index - kKeyA;
  if (index >= kKey0 && index < kKeyF1) return '0' + index - kKey0;
  if (index >= kKeyF1 && index < kKeySpace) return 112 + index - kKeyF1;
  switch (index) {
    case kKeySpace: return 32;
    case kKeyUp: return 38;
    case kKeyDown: return 40;
    case kKeyLeft: return 37;
    case kKeyRight: return 39;
    case kKeyPause: return 19;
    case kKeyEscape: return 27;
    case kKeyHome: return 36;
    case kKeyEnd: return 35;  // VK_END
    default: return 0;
  }
}

void DeclareActions(KeyConfig& config, KeyList list) {
  config.list = list;
  config.bindings.clear();
  config.commandMap.clear();
  const Action* begin = list == KeyList::General ? std::begin(kGeneralActions) : std::begin(kEditorActions);
  const Action* end = list == KeyList::General ? std::end(kGeneralActions) : std::end(kEditorActions);
  int ordinal = 0;
  for (const Action* a = begin; a != end; ++a) {
    KeyBinding b;
    b.command = a->command;
    b.name = os::SJ(a->nameUtf8);
    b.ordinal = ordinal++;
    config.bindings.push_back(std::move(b));
  }
}

void ParseBindingText(std::string_view text, KeyBinding& b) {
  size_t p = 0;
  while (p < text.size()) {
    std::string_view rest = text.substr(p);
    if (StartsWith(rest, "C+")) {
      b.ctrl = true;
      p += 2;
      continue;
    }
    if (StartsWith(rest, "A+")) {
      b.alt = true;
      p += 2;
      continue;
    }
    if (StartsWith(rest, "S+")) {
      b.shift = true;
      p += 2;
      continue;
    }
    bool matched = false;
    // The two-digit function keys before F1, and the named keys, before letters.
    for (int index : {F(10), F(11), F(12), F(1), F(2), F(3), F(4), F(5), F(6), F(7), F(8), F(9), kKeySpace, kKeyUp,
                      kKeyDown, kKeyLeft, kKeyRight, kKeyPause, kKeyEscape, kKeyHome, kKeyEnd}) {
      if (StartsWith(rest, KeyName(index))) {
        b.key = index;
        p += KeyName(index).size();
        matched = true;
        break;
      }
    }
    if (matched) continue;
    const char c = rest[0];
    if (c >= '0' && c <= '9') b.key = kKey0 + (c - '0');
    else if (c >= 'A' && c <= 'Z') b.key = kKeyA + (c - 'A');
    ++p;
  }
}

int LoadKeyConfig(const std::string& path, KeyConfig& config) {
  const KeyList list = config.list;
  DeclareActions(config, list);
  const std::string& oldClose = os::SJ("タブを閉じる");
  const std::string& newClose = os::SJ("アクティブなタブを閉じる");
  const bool opened = listfile::ForEachLine(path, [&](std::string_view line) {
    if (!line.empty() && line[0] == '#') return;
    const size_t tab = line.find('\t');
    std::string_view name = line.substr(0, tab);
    if (list == KeyList::General && name == oldClose) name = newClose;
    KeyBinding* b = FindActionForLine(config, name);
    if (!b) return;
    b->fromFile = true;
    b->Clear();
    if (tab != std::string_view::npos) ParseBindingText(line.substr(tab + 1), *b);
  });
  if (!opened) {
    WriteLog("# File not found : %s", path.c_str());
    WriteLog("# Load and Set Default Hotkey");
  }
  ApplyDefaultKeys(config);
  RebuildCommandMap(config);
  return opened ? 1 : 0;
}

std::string BindingFileText(const KeyCombination& c) {
  if (c.key < 0 || c.key >= kKeyNameCount) return {};
  std::string out;
  if (c.ctrl) out += "C+";
  if (c.alt) out += "A+";
  if (c.shift) out += "S+";
  out += KeyName(c.key);
  return out;
}

std::string CombinationText(const KeyCombination& c) {
  if (c.key < 0 || c.key >= kKeyNameCount) return {};
  std::string out;
  if (c.ctrl) out += "Ctrl+";
  if (c.alt) out += "Alt+";
  if (c.shift) out += "Shift+";
  out += KeyName(c.key);
  return out;
}

int SaveKeyConfig(const std::string& path, const KeyConfig& config, bool flagSave) {
  if (!flagSave) return 0;
  std::string text = config.list == KeyList::General ? os::SJ("# キーコンフィグファイル\n")
                                                     : os::SJ("# エディタ部用キーコンフィグファイル\n");
  text += "# " + os::SJ("フォーマットは (CONTROL)+(ALT)+(SHIFT)+(KEY) の順\n");
  for (const KeyBinding& b : config.bindings) {
    // A key word is only written for a key in the table: no modifiers alone.
    text += b.name + "\t" + BindingFileText(b.Combination()) + "\n";
  }
  if (!os::WriteCrLfTextFile(path, text)) {
    WriteLog("# File not found : %s", path.c_str());
    return 0;
  }
  return 1;
}

void ApplyDefaultKeys(KeyConfig& config) {
  const bool general = config.list == KeyList::General;
  const DefaultKey* begin = general ? std::begin(kGeneralDefaults) : std::begin(kEditorDefaults);
  const DefaultKey* end = general ? std::end(kGeneralDefaults) : std::end(kEditorDefaults);
  RebuildCommandMap(config);
  ApplyTable(config, begin, end, false);
  RebuildCommandMap(config);
  ApplyTable(config, begin, end, true);
  for (KeyBinding& b : config.bindings) b.fromFile = true;
  RebuildCommandMap(config);
}

void RebuildCommandMap(KeyConfig& config) {
  config.commandMap.clear();
  for (const KeyBinding& b : config.bindings)
    if (b.key >= 0 && b.key < kKeyNameCount) config.commandMap.emplace(b.Combination(), b.command);
}

int LookupCommand(const KeyConfig& config, const KeyCombination& combination) {
  auto it = config.commandMap.find(combination);
  return it == config.commandMap.end() ? 0 : it->second;
}

const KeyBinding* FindBinding(const KeyConfig& config, int command) {
  for (const KeyBinding& b : config.bindings)
    if (b.command == command) return &b;
  return nullptr;
}

BindingCheck CheckBinding(const KeyConfig& config, size_t index, const KeyCombination& c, size_t* clashWith) {
  if (c.key < 0) return BindingCheck::Ok;
  const bool alone = !c.ctrl && !c.alt && !c.shift;
  const bool functionKey = c.key >= kKeyF1 && c.key < kKeyF1 + 12;
  if (alone && !functionKey && c.key != kKeyPause && c.key != kKeyEscape) return BindingCheck::NeedsModifier;
  if (c.key >= kKeyNameCount) return BindingCheck::NeedsModifier;
  for (size_t i = 0; i < config.bindings.size(); ++i) {
    const KeyBinding& other = config.bindings[i];
    // The second declaration of a command may share its combination.
    if (i == index || other.key < 0 || other.Combination() != c) continue;
    if (index < config.bindings.size() && other.command == config.bindings[index].command) continue;
    if (clashWith) *clashWith = i;
    return BindingCheck::Clash;
  }
  return BindingCheck::Ok;
}

bool IsGlobalHotKeyCommand(int command) {
  switch (command) {
    case 40133: case 40343: case 40344: case 40345: case 40347: case 40348: case 40355: return true;
    default: return false;
  }
}

KeyConfig& GeneralKeys() {
  static KeyConfig* config = [] {
    auto* c = new KeyConfig;  // never destroyed: shutdown saves it late
    DeclareActions(*c, KeyList::General);
    ApplyDefaultKeys(*c);  // until a file is read, the defaults hold
    return c;
  }();
  return *config;
}

KeyConfig& EditorKeys() {
  static KeyConfig* config = [] {
    auto* c = new KeyConfig;
    DeclareActions(*c, KeyList::Editor);
    ApplyDefaultKeys(*c);
    return c;
  }();
  return *config;
}

void InstallKeyConfigHooks() {
  SetConfigFileHook(
      ConfigFile::KeyConfig,
      [](Profile&, const std::string& path) {
        (void)LoadKeyConfig(path, GeneralKeys());
        return 1;  // a missing file is no failure: the defaults stand
      },
      [](const Profile& p, const std::string& path) {
        return SaveKeyConfig(path, GeneralKeys(), p.FlagSave) == 1 || !p.FlagSave ? 1 : 0;
      });
  SetConfigFileHook(
      ConfigFile::KeyConfigEditor,
      [](Profile&, const std::string& path) {
        (void)LoadKeyConfig(path, EditorKeys());
        return 1;
      },
      [](const Profile& p, const std::string& path) {
        return SaveKeyConfig(path, EditorKeys(), p.FlagSave) == 1 || !p.FlagSave ? 1 : 0;
      });
}

}  // namespace zentu
