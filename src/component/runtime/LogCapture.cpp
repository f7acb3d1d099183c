#include "component/runtime/LogCapture.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

#include "binding/Api.h"
#include "binding/FFmpegLibs.h"
#include "binding/LogLevels.h"
#include "binding/Text.h"
#include "component/runtime/LogList.h"

namespace vexav {
namespace {

// The longest line a client receives: what the assembly buffer holds.
constexpr std::size_t MAX_LINE = LOG_BUFFER_SIZE - 1;

// The list of live clients. Its lock also serialises the capture across
// threads. It is re-entrant because a client may log through the library
// again from inside CaptureLine.
struct TLiveClients {
  std::recursive_mutex Lock;
  std::vector<TLogCaptureClient*> Clients;
};

// The pending text of every thread, behind a lock of its own that is held
// only for a look-up or an update and never while a client runs.
struct TPendingLines {
  std::mutex Lock;
  TLogList List;
};

// Both live for the whole process and are never destroyed: a library thread
// may still log while static objects are being torn down at exit.
TLiveClients& Live() {
  static TLiveClients* Instance = new TLiveClients;
  return *Instance;
}

TPendingLines& Pending() {
  static TPendingLines* Instance = new TPendingLines;
  return *Instance;
}

// Takes the pending text of thread Id out of its entry, creating the entry
// when the thread has none.
std::string TakePending(TThreadID Id) {
  TPendingLines& P = Pending();
  std::lock_guard<std::mutex> Guard(P.Lock);
  return std::exchange(P.List.FindOrAdd(Id).Text, std::string());
}

void StorePending(TThreadID Id, std::string Text) {
  TPendingLines& P = Pending();
  std::lock_guard<std::mutex> Guard(P.Lock);
  P.List.FindOrAdd(Id).Text = std::move(Text);
}

// Writes "[<item name> @ <context address>]" at the start of Buffer and
// returns its length (cut at the buffer's end). The address is the context
// object's, as the library's own log prints it today (the class descriptor
// is shared by every context of a kind and would not tell them apart), in
// upper-case hexadecimal with all the digits of a pointer: 16 on a 64-bit
// system.
std::size_t WritePrefix(char* Buffer, void* Context, const AVClass* Class) {
  const char* Name = Class->item_name ? Class->item_name(Context) : Class->class_name;
  if (!Name) Name = "";
  const int Written =
      std::snprintf(Buffer, LOG_BUFFER_SIZE, "[%s @ %0*" PRIXPTR "]", Name,
                    static_cast<int>(2 * sizeof(void*)), reinterpret_cast<std::uintptr_t>(Context));
  return Written < 0 ? 0 : std::min(static_cast<std::size_t>(Written), MAX_LINE);
}

}  // namespace

void RegisterLogCaptureClient(TLogCaptureClient* Client) {
  if (!Client) return;
  TLiveClients& L = Live();
  std::lock_guard<std::recursive_mutex> Guard(L.Lock);
  if (std::find(L.Clients.begin(), L.Clients.end(), Client) == L.Clients.end())
    L.Clients.push_back(Client);
}

void UnregisterLogCaptureClient(TLogCaptureClient* Client) {
  TLiveClients& L = Live();
  std::lock_guard<std::recursive_mutex> Guard(L.Lock);
  L.Clients.erase(std::remove(L.Clients.begin(), L.Clients.end(), Client), L.Clients.end());
}

std::vector<TLogCaptureClient*> LogCaptureClients() {
  TLiveClients& L = Live();
  std::lock_guard<std::recursive_mutex> Guard(L.Lock);
  return L.Clients;
}

void LogCaptureCallback(void* Context, int Level, const char* Format, va_list Args) {
  // A level may carry a colour tint above its low byte (AV_LOG_C); the
  // library's default callback drops it the same way before comparing.
  if (Level >= 0) Level &= 0xff;
  if (Level > RecordedLogLevel() || !Format) return;

  TLiveClients& L = Live();
  std::lock_guard<std::recursive_mutex> Guard(L.Lock);
  const TThreadID Id = CurrentThreadID();

  // The line so far: the thread's pending text, or at the start of a line
  // the context's prefix when the message has a context with a class.
  char Buffer[LOG_BUFFER_SIZE] = {};
  std::size_t Used = 0;
  const std::string Before = TakePending(Id);
  if (!Before.empty()) {
    Used = std::min(Before.size(), MAX_LINE);
    std::memcpy(Buffer, Before.data(), Used);
  } else if (Context) {
    if (const AVClass* Class = *static_cast<const AVClass* const*>(Context))
      Used = WritePrefix(Buffer, Context, Class);
  }

  va_list Copy;
  va_copy(Copy, Args);
  const int Needed = std::vsnprintf(Buffer + Used, LOG_BUFFER_SIZE - Used, Format, Args);
  std::string Text;
  if (Needed >= 0 && Used + static_cast<std::size_t>(Needed) >= LOG_BUFFER_SIZE) {
    // The message did not fit. Its "\n"s beyond the buffer still end lines
    // (otherwise a cut-off line end would leave the thread's text pending
    // for good), so the message is formatted whole here; every line is then
    // cut at the buffer's size below, and what does not fit is dropped.
    Text.assign(Buffer, Used);
    Text.append(FormatV(Format, Copy).c_str());
  } else {
    Text.assign(Buffer);
  }
  va_end(Copy);

  std::vector<std::string> Lines;
  std::size_t Start = 0;
  for (std::size_t End; (End = Text.find('\n', Start)) != std::string::npos; Start = End + 1)
    Lines.push_back(Text.substr(Start, std::min(End - Start, MAX_LINE)));
  // Stored before the lines go out, so that a client logging again from
  // this thread continues from the right text.
  StorePending(Id, Text.substr(Start, MAX_LINE));

  // A completed line carries the level of the call that completed it.
  const int LineLevel = SystemLogLevel(Level);
  for (const std::string& Line : Lines)
    // By index: a client may unregister itself from this thread.
    for (std::size_t I = 0; I < L.Clients.size(); ++I) L.Clients[I]->CaptureLine(Id, LineLevel, Line);
}

bool InstallLogCapture() {
  if (!ff::av_log_set_callback) return false;
  ff::av_log_set_callback(&LogCaptureCallback);
  return true;
}

void UninstallLogCapture() {
  if (ff::av_log_set_callback && ff::av_log_default_callback)
    ff::av_log_set_callback(ff::av_log_default_callback);
}

void ClearLog() {
  TPendingLines& P = Pending();
  std::lock_guard<std::mutex> Guard(P.Lock);
  P.List.Clear();
}

std::string PendingLogText(TThreadID Id) {
  TPendingLines& P = Pending();
  std::lock_guard<std::mutex> Guard(P.Lock);
  const TLogEntry* Entry = P.List.Find(Id);
  return Entry ? Entry->Text : std::string();
}

}  // namespace vexav
