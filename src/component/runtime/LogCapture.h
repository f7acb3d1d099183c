// The process-wide capture of the media library's log: the callback given to
// av_log_set_callback. It filters by the cached library level, assembles the
// library's pieces into lines per calling thread, and hands every completed
// line to each live capture client (the converter components), tagged with
// the calling thread's kernel id.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

#include "engine/thread/Thread.h"

namespace vexav {

// The size of the buffer a line is assembled in: prefix, pending text and
// message together; a line holds at most LOG_BUFFER_SIZE - 1 bytes.
constexpr std::size_t LOG_BUFFER_SIZE = 2048;

// A receiver of captured lines. The converter component implements it by
// looking up the task whose thread id is ThreadId and passing the line on to
// its log dispatch.
class TLogCaptureClient {
 public:
  virtual ~TLogCaptureClient() = default;
  // Runs on the logging thread with the list of live clients locked, so
  // calls never overlap. Level is the system's level -1..3 (SystemLogLevel
  // of the library's level); Line is without its "\n". An implementation may
  // take its own locks here (lock order: the live-client list, then the
  // client's), and may log through the library again from this thread.
  virtual void CaptureLine(TThreadID ThreadId, int Level, const std::string& Line) = 0;
};

// Adds Client at the end of the list of live clients; a client already in
// the list is not added twice.
void RegisterLogCaptureClient(TLogCaptureClient* Client);
// Removes Client. Waits for a capture in progress on another thread, so that
// once this returns no call reaches Client any more and it may be destroyed.
void UnregisterLogCaptureClient(TLogCaptureClient* Client);
// The live clients in list order.
std::vector<TLogCaptureClient*> LogCaptureClients();

// The callback itself (the library's log-callback signature).
void LogCaptureCallback(void* Context, int Level, const char* Format, va_list Args);

// Makes LogCaptureCallback the library's log callback. False when the
// library's log entries are not bound (the libraries are not loaded).
bool InstallLogCapture();
// Gives the library back its default callback, when the entries are bound.
void UninstallLogCapture();

// Forgets every thread's pending text. Takes only the lock of the pending
// text list, which is never held while a client runs, so it may be called
// with a component's lock held.
void ClearLog();
// The pending (not yet ended) text of thread Id; empty when there is none.
std::string PendingLogText(TThreadID Id);

}  // namespace vexav
