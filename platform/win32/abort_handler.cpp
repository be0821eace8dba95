// The abort handler on Windows: the console's Ctrl-C, Ctrl-Break, close,
// log-off and shut-down events, and SIGABRT. The system runs a console event's
// handler on a thread of its own while the run goes on, so the handler first
// stops the run's thread: from there on it reads the held record as a POSIX
// signal would, between two steps of the run. The stopped thread may be in a
// call on the port, the log or the console, which Windows lets no other call
// on the same handle pass, or may hold the heap's lock: the handler uses only
// handles of its own, made in advance, and allocates nothing (see
// platform/win32/held_record.h). The log line goes first and the console line
// last, the console's with a time limit: a console that takes no output (a
// pipe nobody reads) must not keep the handler from ending the process. A
// process started with Ctrl-C ignored gets no Ctrl-C event at all.
#include "platform/abort_handler.h"

#include <windows.h>

#include <csignal>

#include "platform/log_file.h"
#include "platform/win32/held_record.h"

namespace corv {

namespace {

using held::win32::Entry;

HANDLE runThread = nullptr;
DWORD runThreadId = 0;
volatile LONG aborting = 0;
// The console line's writer, made at installation and waiting for the word:
// making a thread while the run's thread is stopped could wait for a lock
// that thread holds.
HANDLE sayWord = nullptr;
HANDLE sayer = nullptr;
// Where the console line goes: a console handle of the handler's own when
// standard output is a console, else standard output itself.
HANDLE sayTo = INVALID_HANDLE_VALUE;

void Say(HANDLE h, const char* text, DWORD length) {
  while (length > 0) {
    DWORD n = 0;
    if (!WriteFile(h, text, length, &n, nullptr) || n == 0) return;
    text += n;
    length -= n;
  }
}

DWORD WINAPI SayAborted(LPVOID) {
  if (WaitForSingleObject(sayWord, INFINITE) != WAIT_OBJECT_0) return 0;
  static constexpr char kConsole[] = "\n-- aborted\n";  // as the console sink shows CR LF
  Say(sayTo, kConsole, sizeof kConsole - 1);
  return 0;
}

[[noreturn]] void Abort() {
  // One way out at a time: a second event waits for the first to end the process.
  if (InterlockedExchange(&aborting, 1) != 0) {
    for (;;) Sleep(INFINITE);
  }
  if (runThread && GetCurrentThreadId() != runThreadId) SuspendThread(runThread);
  if (const Entry* log = held::win32::FindHeld(held::Kind::Log)) {
    char line[64];
    const uint32_t ms = held::win32::TickMs() - static_cast<uint32_t>(log->openedMs);
    Say(log->abortHandle, line, static_cast<DWORD>(FormatAbortedLogLine(ms, static_cast<LogLine>(log->line), line)));
  }
  held::win32::ReleaseForAbort();
  if (sayer && SetEvent(sayWord)) WaitForSingleObject(sayer, 200);
  TerminateProcess(GetCurrentProcess(), 1);
  for (;;) Sleep(INFINITE);
}

BOOL WINAPI OnConsoleEvent(DWORD) { Abort(); }

extern "C" void OnAbortSignal(int) { Abort(); }

}  // namespace

void InstallAbortHandler() {
  if (!runThread) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &runThread,
                    THREAD_SUSPEND_RESUME, FALSE, 0);
    runThreadId = GetCurrentThreadId();
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    sayTo = GetConsoleMode(out, &mode) ? CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                                     nullptr)
                                       : INVALID_HANDLE_VALUE;
    if (sayTo == INVALID_HANDLE_VALUE) sayTo = out;
    sayWord = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (sayWord) sayer = CreateThread(nullptr, 0, SayAborted, nullptr, 0, nullptr);
  }
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  std::signal(SIGABRT, OnAbortSignal);
}

}  // namespace corv
