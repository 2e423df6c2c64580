#include "ui/uithread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <atomic>

namespace zentu::ui {
namespace {
std::atomic<QObject*> g_context{nullptr};
}  // namespace

QObject* UiContext() {
  QObject* context = g_context.load();
  if (context) return context;
  // Never deleted: workers may post to it until the process ends.
  auto* made = new QObject;
  if (QCoreApplication* app = QCoreApplication::instance()) made->moveToThread(app->thread());
  QObject* expected = nullptr;
  if (!g_context.compare_exchange_strong(expected, made)) {
    delete made;
    return expected;
  }
  return made;
}

bool OnUiThread() { return QThread::currentThread() == UiContext()->thread(); }

void PostToUi(std::function<void()> fn) {
  QMetaObject::invokeMethod(UiContext(), std::move(fn), Qt::QueuedConnection);
}

void RunOnUiAndWait(const std::function<void()>& fn) {
  if (OnUiThread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(UiContext(), [&fn] { fn(); }, Qt::BlockingQueuedConnection);
}

}  // namespace zentu::ui
