// Runs a call on the thread of a window object: at once when already there,
// otherwise queued to that thread while the caller waits for it to finish.
// The window's thread never waits for the callers, so the wait always ends.
#pragma once

#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <utility>

namespace qelvar::ui {

template <typename Call>
void RunOnThreadOf(QObject* object, Call&& call) {
  if (QThread::currentThread() == object->thread()) {
    call();
  } else {
    QMetaObject::invokeMethod(object, std::forward<Call>(call), Qt::BlockingQueuedConnection);
  }
}

}  // namespace qelvar::ui
