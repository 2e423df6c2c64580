// Getting work from any thread onto the user-interface thread.
//
// The target of every posted call is one context object that lives as long as
// the process, so a worker may post at any time without racing the windows'
// destruction: the posted function itself checks on the UI thread whether the
// windows it wants still exist.
#pragma once
#include <functional>

class QObject;

namespace zentu::ui {

// Creates the context on first use; the first call must come from the UI thread.
QObject* UiContext();
bool OnUiThread();
// Runs fn later on the UI thread (also when called from the UI thread).
void PostToUi(std::function<void()> fn);
// Runs fn on the UI thread and waits for it; runs it at once when called there.
void RunOnUiAndWait(const std::function<void()>& fn);

}  // namespace zentu::ui
