// The splash window of the start-up: "startup.bmp" from the program directory
// (or from beside the executable) when there is one, else a picture of our own
// with the version. It closes itself after `duration`; the start-up goes on
// meanwhile instead of waiting for it.
#pragma once
#include <QWidget>
#include <chrono>
#include <memory>

namespace zentu::ui {

std::unique_ptr<QWidget> ShowSplash(std::chrono::milliseconds duration);

}  // namespace zentu::ui
