#include "tests/e2e_window/sample_collection.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "store/locklist.h"
#include "store/profile.h"
#include "store/tree.h"
#include "store/treefile.h"
#include "tests/support/testhome.h"

namespace zentu::testing {
namespace {

TreeNode* Folder(TreeNode* parent, const char* title, bool expanded = true) {
  TreeNode* f = CreateNode(SJ(title), {}, {}, kNodeFolder);
  f->expanded = expanded;
  Link(f, parent, kLinkLastChild);
  return f;
}

}  // namespace

// 1,000 items spread over a dozen folders, with dates, sizes, marks and unread ones.
void BuildSampleCollection() {
  std::lock_guard lock(TreeMutex());
  const TreeFileSettings& settings = CurrentTreeFileSettings();
  BuildDefaultTree(settings);
  TreeNode* root = GetTreeState().root;
  root->expanded = true;
  GetTreeState().receiveFolder->expanded = true;

  struct Topic {
    const char* folder;
    const char* parent;  // nullptr: under the root
    const char* host;
    std::vector<const char*> words;
    int items;
  };
  const std::vector<Topic> topics = {
      {"ニュース", nullptr, "", {}, 0},
      {"国内", "ニュース", "news.example.jp",
       {"東京の天気は晴れ", "新幹線ダイヤ改正のお知らせ", "桜の開花予想", "大雪で交通機関に乱れ", "春の交通安全運動",
        "地方選挙の結果速報", "新しい図書館が開館"}, 160},
      {"国際", "ニュース", "world.example.jp",
       {"各国首脳が会談", "為替相場の動き", "国際宇宙ステーションの近況", "世界遺産に新たに登録", "五輪開催地の準備状況"},
       120},
      {"経済", "ニュース", "keizai.example.jp",
       {"日経平均が続伸", "新製品の発表会", "中小企業の景況感", "原油価格の推移", "決算発表のまとめ"}, 110},
      {"技術メモ", nullptr, "", {}, 0},
      {"C++", "技術メモ", "cpp.example.org",
       {"テンプレート入門", "スマートポインタの使い方", "ムーブセマンティクス解説", "例外安全性について",
        "標準ライブラリのアルゴリズム"}, 120},
      {"Qt", "技術メモ", "qt.example.org",
       {"モデルとビューの基本", "シグナルとスロット", "スレッドとイベントループ", "レイアウトの組み方"}, 90},
      {"Linux", "技術メモ", "linux.example.org",
       {"シェルスクリプトの小技", "systemd のユニット設定", "ファイルシステムの選び方", "ネットワーク設定の確認"}, 80},
      {"レシピ", nullptr, "recipe.example.jp",
       {"肉じゃがの作り方", "簡単だし巻き卵", "炊き込みご飯", "鯖の味噌煮", "抹茶のパウンドケーキ", "豚汁"}, 120},
      {"旅行", nullptr, "travel.example.jp",
       {"京都の紅葉めぐり", "北海道ドライブ旅行記", "沖縄の離島ガイド", "温泉宿の選び方", "金沢の朝市"}, 100},
      {"読書", nullptr, "books.example.jp",
       {"今月の新刊案内", "文庫で読む名作", "書評：長編ミステリー", "図書館で借りた本"}, 60},
      {"未整理フォルダ", "", "clip.example.jp", {"あとで読む記事", "気になったページ", "参考リンク"}, 40},
  };
  std::mt19937 rng(20070212);
  std::map<std::string, TreeNode*> folders;
  for (const Topic& t : topics) {
    TreeNode* f;
    if (t.parent && !*t.parent) {
      f = GetTreeState().receiveFolder;
    } else {
      TreeNode* parent = t.parent ? folders[t.parent] : root;
      f = Folder(parent, t.folder, true);
    }
    folders[t.folder] = f;
    for (int i = 0; i < t.items; ++i) {
      const char* word = t.words[static_cast<size_t>(i) % t.words.size()];
      char title[256], url[256], date[32], original[64];
      std::snprintf(title, sizeof title, "%s（第%d回）", word, i / static_cast<int>(t.words.size()) + 1);
      std::snprintf(url, sizeof url, "http://%s/2007/%02d/article%04d.html", t.host, 1 + i % 12, i);
      std::snprintf(date, sizeof date, "2007/%02d/%02d %02d:%02d:%02d", 1 + (i * 7) % 12, 1 + (i * 11) % 28,
                    (i * 5) % 24, (i * 13) % 60, (i * 17) % 60);
      std::snprintf(original, sizeof original, "Mon, %02d Feb 2007 %02d:00:00 GMT", 1 + i % 28, i % 24);
      TreeNode* item = CreateNode(SJ(title), url, {}, kNodeItem);
      SetProperty(item, kPropertyUrlItem);
      const uint32_t roll = rng() % 20;
      SetDownloadFlag(item, roll == 0 ? kDownloadError : roll < 3 ? kDownloadNone : roll < 6 ? kDownloadChanged
                                                                                     : kDownloadDone);
      if (item->downloadFlag != kDownloadNone) {
        SetLastCheck(item, date);
        SetOriginalDate(item, original);
        SetSize(item, 2000 + rng() % 90000);
        std::string local = settings.dataDirectory + "\\" + t.host + "\\2007\\article" + std::to_string(i) + ".html";
        SetLocalFile(item, local);
      }
      if (rng() % 9 == 0) SetMark(item, 1 + static_cast<int>(rng() % 9));
      Link(item, f, kLinkLastChild);
      if (item->downloadFlag == kDownloadChanged || rng() % 7 == 0) SetUnreadFlag(item, true);
    }
  }
  // A text item, and an item whose saved copy is locked.
  TreeNode* memo = CreateNode(SJ("買い物メモ"), {}, CurrentProfile().dirs.text + "\\memo.txt", kNodeItem);
  SetProperty(memo, kPropertyTextItem);
  Link(memo, folders["レシピ"], kLinkFirstChild);
  TreeNode* locked = folders["国内"]->firstChild;
  LockUrl(locked->url);
  // Special folders to show their icons.
  TreeNode* sync = Folder(root, "同期フォルダ（ダウンロード）", false);
  SetProperty(sync, kPropertySyncFolder);
  TreeNode* rss = Folder(root, "RSS：技術ブログ", false);
  SetProperty(rss, kPropertyRssFolder);
  TreeNode* bookmarks = Folder(root, "ブックマーク（インポート）", false);
  SetProperty(bookmarks, kPropertyBookmarkFolder);
  SetSortMode(folders["国内"], kSortTitleAscFoldersFirst);
  GetTreeState().currentFolder = root;
  GetTreeState().modified = false;
}

}  // namespace zentu::testing
