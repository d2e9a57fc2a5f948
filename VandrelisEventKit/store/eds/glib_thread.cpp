// Tasks cross threads through g_main_context_invoke_full; completion is signalled through a
// condition variable in state the caller and the task share, so a caller that gave up never
// leaves the task writing into freed memory.
#include "store/eds/glib_thread.h"

#include <condition_variable>
#include <mutex>

namespace vandrelis::store {

struct GlibThread::Task {
  std::function<void(GCancellable*)> work;
  GCancellable* cancellable = g_cancellable_new();
  std::mutex mutex;
  std::condition_variable doneChanged;
  bool done = false;

  ~Task() { g_object_unref(cancellable); }
};

namespace {

GLogWriterOutput discardLog(GLogLevelFlags, const GLogField*, gsize, gpointer) {
  return G_LOG_WRITER_HANDLED;
}

void discardText(const gchar*) {}

}  // namespace

void silenceGlibLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_log_set_writer_func(discardLog, nullptr, nullptr);
    g_set_printerr_handler(discardText);
    g_set_print_handler(discardText);
  });
}

GDBusConnection* sessionBusKeptOnClose(GCancellable* cancellable) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, nullptr);
  // The flag is read when "closed" is delivered, on the context of the thread that made the
  // connection; made here, that is this thread's, which cannot deliver it before this returns.
  if (bus != nullptr) g_dbus_connection_set_exit_on_close(bus, FALSE);
  return bus;
}

GlibThread::GlibThread() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
  silenceGlibLogging();
  thread_ = std::thread([context = context_, loop = loop_] {
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
  });
}

GlibThread::~GlibThread() {
  g_main_loop_quit(loop_);
  g_main_context_wakeup(context_);
  if (timedOut_) {
    thread_.detach();
    return;
  }
  thread_.join();
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

gboolean GlibThread::runTask(gpointer data) {
  auto& task = *static_cast<std::shared_ptr<Task>*>(data);
  task->work(task->cancellable);
  task->work = nullptr;  // what the work captured is released here, on this thread
  {
    std::lock_guard lock(task->mutex);
    task->done = true;
  }
  task->doneChanged.notify_all();
  return G_SOURCE_REMOVE;
}

bool GlibThread::run(std::function<void(GCancellable*)> work, std::chrono::milliseconds bound) {
  auto task = std::make_shared<Task>();
  task->work = std::move(work);
  g_main_context_invoke_full(
      context_, G_PRIORITY_DEFAULT, runTask, new std::shared_ptr<Task>(task),
      [](gpointer data) { delete static_cast<std::shared_ptr<Task>*>(data); });
  std::unique_lock lock(task->mutex);
  if (task->doneChanged.wait_for(lock, bound, [&] { return task->done; })) return true;
  g_cancellable_cancel(task->cancellable);
  timedOut_ = true;
  return false;
}

}  // namespace vandrelis::store
