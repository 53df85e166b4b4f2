#pragma once
// Calls from worker threads that must run on the user-interface thread. A worker
// posts a call and waits; the user-interface thread drains the queue (Qt: on a
// posted event, console: in its main loop). Once the window is going away the queue
// is shut: waiting calls are released unrun and later calls return at once, so a
// worker can never be left waiting on a thread that no longer serves it.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CUiCallQueue {
 public:
  CUiCallQueue();

  // The thread that drains the queue; by default the constructing thread.
  void SetUiThread(std::thread::id id);
  bool OnUiThread() const;

  // Called by the face whenever a call has been queued (may run on any thread): the
  // Qt face posts itself an event here. Must not block.
  void SetWakeUp(std::function<void()> wake);

  bool InvokeAndWait(const std::function<void()>& fn);
  // Queues fn to run on the user-interface thread and returns at once; fn runs
  // in order with every other call queued, before any queued after it. On the
  // user-interface thread it runs at once. False (fn dropped) once shut.
  bool Post(std::function<void()> fn);

  // Runs every queued call; returns how many ran. User-interface thread only.
  int Drain();
  // Waits up to timeoutMs for a call to arrive, then drains. Returns how many ran.
  int WaitAndDrain(int timeoutMs);

  // Releases waiting callers unrun and refuses later calls.
  void Shutdown();
  bool IsShut() const;

 private:
  struct Call {
    std::function<void()> fn;
    bool done = false;
    bool ran = false;
  };
  // Runs fn at once on the user-interface thread (nullptr), or queues it and
  // wakes the face (the queued call); refused (nullptr) once shut.
  std::shared_ptr<Call> Enqueue(std::function<void()> fn, bool& refused);

  mutable std::mutex m_mutex;
  std::condition_variable m_arrived;
  std::condition_variable m_finished;
  std::deque<std::shared_ptr<Call>> m_queue;
  std::function<void()> m_wake;
  std::thread::id m_uiThread;
  bool m_shut = false;
};
