// The selection dialog of the browser integration ("IE右クリック登録内容設定"):
// one check box per entry group, "更新" applies.
#pragma once
#include <functional>

#include "intake/browserreg.h"

class QWidget;

namespace zentu::ui {

// True when the user chose "更新"; `flags` then holds the choice.
bool ShowBrowserIntegrationDialog(QWidget* parent, BrowserGroupFlags& flags);

// Tests answer the dialog themselves; an empty function restores the dialog.
using BrowserIntegrationDialog = std::function<bool(BrowserGroupFlags& flags)>;
void SetBrowserIntegrationDialog(BrowserIntegrationDialog dialog);
BrowserIntegrationDialog CurrentBrowserIntegrationDialog(QWidget* parent);

}  // namespace zentu::ui
