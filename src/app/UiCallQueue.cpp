#include "app/UiCallQueue.h"

#include <chrono>

CUiCallQueue::CUiCallQueue() : m_uiThread(std::this_thread::get_id()) {}

void CUiCallQueue::SetUiThread(std::thread::id id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_uiThread = id;
}

bool CUiCallQueue::OnUiThread() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return std::this_thread::get_id() == m_uiThread;
}

void CUiCallQueue::SetWakeUp(std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_wake = std::move(wake);
}

std::shared_ptr<CUiCallQueue::Call> CUiCallQueue::Enqueue(std::function<void()> fn, bool& refused) {
  refused = false;
  std::function<void()> wake;
  auto call = std::make_shared<Call>();
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_shut) {
      refused = true;
      return nullptr;
    }
    if (std::this_thread::get_id() == m_uiThread) {
      lock.unlock();
      fn();
      return nullptr;
    }
    call->fn = std::move(fn);
    m_queue.push_back(call);
    wake = m_wake;
  }
  m_arrived.notify_all();
  if (wake) wake();
  return call;
}

bool CUiCallQueue::InvokeAndWait(const std::function<void()>& fn) {
  bool refused = false;
  const std::shared_ptr<Call> call = Enqueue(fn, refused);
  if (!call) return !refused;
  std::unique_lock<std::mutex> lock(m_mutex);
  m_finished.wait(lock, [&] { return call->done; });
  return call->ran;
}

bool CUiCallQueue::Post(std::function<void()> fn) {
  bool refused = false;
  Enqueue(std::move(fn), refused);
  return !refused;
}

int CUiCallQueue::Drain() {
  int ran = 0;
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_queue.empty() || m_shut) break;
      call = m_queue.front();
      m_queue.pop_front();
    }
    call->fn();
    ++ran;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      call->done = true;
      call->ran = true;
    }
    m_finished.notify_all();
  }
  return ran;
}

int CUiCallQueue::WaitAndDrain(int timeoutMs) {
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [&] { return !m_queue.empty() || m_shut; });
  }
  return Drain();
}

void CUiCallQueue::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_shut = true;
    for (auto& call : m_queue) call->done = true;  // released unrun
    m_queue.clear();
  }
  m_finished.notify_all();
  m_arrived.notify_all();
}

bool CUiCallQueue::IsShut() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_shut;
}
