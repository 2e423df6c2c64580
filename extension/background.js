// Zentu's browser extension: the context-menu entries and the toolbar button
// hand the page, the selection or the links to the running Zentu through the
// native-messaging host ("zentu.host"), as the texts of its command channel.
const HOST = "zentu.host";
const NO_CACHE = 6003, OTHER = 6004;

const ENTRIES = [
  { id: "page", title: "Zentuでこのページを取り込む(&1)", contexts: ["page", "frame", "link", "image"] },
  { id: "pageOnly", title: "Zentuでこのページをリストに登録せずに取り込む", contexts: ["page", "frame"] },
  { id: "links", title: "Zentuで全てのリンクを取り込む(&2)", contexts: ["page", "frame"] },
  { id: "selection", title: "Zentuで選択範囲を取り込む(&3)", contexts: ["selection"] },
  { id: "selectionLinks", title: "Zentuで選択範囲とリンクを取り込む(&4)", contexts: ["selection"] },
  { id: "site", title: "Zentuでこのサイトを取り込む(&5)", contexts: ["page", "frame"] },
  { id: "register", title: "Zentuにこのページを登録する(&6)", contexts: ["page", "frame"] },
];

function send(code, text) {
  return new Promise((resolve) => {
    chrome.runtime.sendNativeMessage(HOST, { code, text }, (reply) => {
      resolve(!chrome.runtime.lastError && reply && reply.ok === true);
    });
  });
}

// Runs in the page: the selection's HTML with fragment markers, or the links.
function pageSelection() {
  const s = getSelection();
  if (!s || s.rangeCount === 0 || s.isCollapsed) return "";
  const box = document.createElement("div");
  for (let i = 0; i < s.rangeCount; ++i) box.appendChild(s.getRangeAt(i).cloneContents());
  return box.innerHTML;
}
function pageLinks() {
  return Array.from(document.links, (a) => a.href).filter((h) => /^https?:/i.test(h));
}

async function inPage(tabId, func) {
  const [result] = await chrome.scripting.executeScript({ target: { tabId }, func });
  return result ? result.result : undefined;
}

// One handler for the menu, the button and tests (they call it by id).
async function capture(id, tab, info = {}) {
  const url = info.linkUrl || info.pageUrl || (tab && tab.url) || "";
  switch (id) {
    case "page":
      return send(NO_CACHE, "<!--NoCache-->\n" + url);
    case "pageOnly":
      return send(OTHER, "<!--Zentu DownloadOnly-->\nURL=" + url);
    case "site":
      return send(OTHER, "<!--Zentu SiteDownload-->\nURL=" + url + "\nTITLE=" + ((tab && tab.title) || ""));
    case "register":
      return send(OTHER, "<!--Zentu AddItemOnly-->\nURL=" + url + "\nTITLE=" + ((tab && tab.title) || ""));
    case "links": {
      const links = (await inPage(tab.id, pageLinks)) || [];
      if (!links.length) return false;
      return send(NO_CACHE, "<!--NoCache-->\n" + links.join("\n"));
    }
    case "selection":
    case "selectionLinks": {
      const html = await inPage(tab.id, pageSelection);
      if (!html) return false;
      const mark = id === "selectionLinks" ? "<!--StartFragment--><!--GetLinkUrls-->" : "<!--StartFragment-->";
      return send(OTHER, "<!--Zentu AddText-->\r\nURL=" + (tab.url || url) + "\r\n" + mark + html + "<!--EndFragment-->");
    }
  }
  return false;
}
globalThis.zentuCapture = capture;

chrome.runtime.onInstalled.addListener(() => {
  chrome.contextMenus.removeAll(() => {
    for (const e of ENTRIES) chrome.contextMenus.create({ id: e.id, title: e.title, contexts: e.contexts });
  });
});
chrome.contextMenus.onClicked.addListener((info, tab) => capture(info.menuItemId, tab, info));
chrome.action.onClicked.addListener((tab) => capture("page", tab));
