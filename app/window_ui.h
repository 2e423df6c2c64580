// The window program's side of the frame: the Qt windows of ui/ behind the
// FrameUi steps. Built only with the windows (ZENTU_WITH_WINDOWS).
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "app/frame_ui.h"

class QCoreApplication;

namespace zentu {

// True when this program was built with its windows.
bool WindowsBuiltIn();

// The application object the windows need (a QApplication); a plain
// QCoreApplication when the windows are not built in.
std::unique_ptr<QCoreApplication> CreateWindowApplication(int& argc, char** argv);

// The windows as a FrameUi; `close` runs the frame's shutdown after the user
// confirmed the close request. nullptr when the windows are not built in.
std::unique_ptr<FrameUi> CreateWindowUi(std::function<void()> close);

// `zentu --edit FILE`: one editor window on the file, read as Shift_JIS with
// the profile's editor settings; returns the exit status. 1 when the windows
// are not built in or the file cannot be read.
int RunEditorWindow(int& argc, char** argv, const std::string& nativePath);

}  // namespace zentu
