#include "platform/classes/SyncObjs.h"

#include <gtest/gtest.h>

#include <thread>

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
  TCriticalSection section;
  section.Enter();
  {
    TCriticalSectionGuard again(section);  // the same thread enters twice
    bool other_got_in = true;
    std::thread([&] { other_got_in = section.TryEnter(); }).join();
    EXPECT_FALSE(other_got_in);
  }
  section.Leave();
  bool other_got_in = false;
  std::thread([&] {
    other_got_in = section.TryEnter();
    if (other_got_in) section.Leave();
  }).join();
  EXPECT_TRUE(other_got_in);
}
