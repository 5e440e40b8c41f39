// ThreadAffinity: the thread an object belongs to, checked at the object's
// entry points. The window, the browser, the page's script, the control
// proxy and the printing control belong to the main thread; a call from any
// other thread is a fault that would otherwise show only as a rare race.
//
// Checking builds (KX_CHECK_THREADS: Debug and sanitizer builds, or
// -DKESTRIX_THREAD_CHECKS=ON) check: a call from another thread writes what
// was called to stderr and aborts. Other builds check nothing and the object
// costs nothing.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <thread>

class ThreadAffinity {
 public:
  // Belongs to the thread that makes it.
  ThreadAffinity() = default;

  // Belongs to the calling thread from now on: for an object made on one
  // thread and then handed to the thread that runs it.
  void Bind() {
#ifdef KX_CHECK_THREADS
    m_owner = std::this_thread::get_id();
#endif
  }

  // `where` names the entry point in the message.
  void Check([[maybe_unused]] const char* where) const {
#ifdef KX_CHECK_THREADS
    if (std::this_thread::get_id() == m_owner) return;
    std::fprintf(stderr, "kestrix: %s called on a thread other than the one it belongs to\n", where);
    std::abort();
#endif
  }

 private:
#ifdef KX_CHECK_THREADS
  std::thread::id m_owner = std::this_thread::get_id();
#endif
};
