// One thread that owns a GMainContext and runs its loop: GLib objects are created, used and
// released only there (their signals arrive only while that loop runs); other threads hand it
// work and wait a bounded time for the answer.
#pragma once

#include <gio/gio.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace vandrelis::store {

class GlibThread {
 public:
  GlibThread();
  // Quits the loop and joins the thread, unless a task outlived its bound: that thread may be
  // stuck in a call that never returns, so it is left to end with the process.
  ~GlibThread();
  GlibThread(const GlibThread&) = delete;
  GlibThread& operator=(const GlibThread&) = delete;

  // Runs task on the thread and waits for it at most `bound`. On timeout the task's
  // cancellable is cancelled and false is returned; the task may still run or finish later, so
  // it must own everything it touches.
  bool run(std::function<void(GCancellable*)> task, std::chrono::milliseconds bound);

  // run() for a task with a result; none on timeout.
  template <class F>
  auto call(F task, std::chrono::milliseconds bound)
      -> std::optional<std::invoke_result_t<F&, GCancellable*>> {
    using Result = std::invoke_result_t<F&, GCancellable*>;
    auto result = std::make_shared<std::optional<Result>>();
    bool finished = run(
        [task = std::move(task), result](GCancellable* cancellable) mutable {
          *result = task(cancellable);
        },
        bound);
    if (!finished) return std::nullopt;
    return std::move(*result);
  }

  GMainContext* context() const { return context_; }
  // Whether a task has outlived its bound.
  bool timedOut() const { return timedOut_; }

 private:
  struct Task;
  static gboolean runTask(gpointer data);

  GMainContext* context_;
  GMainLoop* loop_;
  std::thread thread_;
  std::atomic<bool> timedOut_ = false;
};

// GLib's log output and printerr go nowhere: the helper's stderr carries only its failure
// line. Idempotent.
void silenceGlibLogging();

// The process's shared session-bus connection, the one EDS's libraries take, with a reference
// for the caller; null when there is no bus to connect to. GLib raises SIGTERM in a process
// whose shared session-bus connection closes, which would end the helper silently with its
// calendar tree unwatched; that is turned off here. Call it on a GlibThread before anything
// else takes the bus: the connection delivers its "closed" signal to the context of the thread
// that made it.
GDBusConnection* sessionBusKeptOnClose(GCancellable* cancellable);

}  // namespace vandrelis::store
