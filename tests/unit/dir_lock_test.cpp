// Directory holds: a second holder is refused at once and told who holds it;
// the hold ends with its holder, a killed one included.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/scratch_files.h"

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace plat = kq::plat;

TEST(DirLock, SecondHolderIsRefusedAndToldThePidUntilTheFirstLetsGo) {
  kqtest::scratch_dir d;
  plat::dir_lock first, second;
  long pid = -1;
  int err = -1;
  ASSERT_EQ(first.acquire(d.str().c_str(), ".lock", &pid, &err), plat::dir_lock::held);
  EXPECT_TRUE(first.is_held());
  EXPECT_EQ(second.acquire(d.str().c_str(), ".lock", &pid, &err), plat::dir_lock::busy);
  EXPECT_EQ(pid, plat::process_id());
  EXPECT_FALSE(second.is_held());
  first.release();
  EXPECT_EQ(second.acquire(d.str().c_str(), ".lock", &pid, &err), plat::dir_lock::held);
}

TEST(DirLock, MissingDirectoryFailsWithAReason) {
  kqtest::scratch_dir d;
  plat::dir_lock l;
  long pid = -1;
  int err = 0;
  EXPECT_EQ(l.acquire(d.file("absent").c_str(), ".lock", &pid, &err), plat::dir_lock::failed);
  EXPECT_NE(err, 0);
  EXPECT_FALSE(l.is_held());
}

#ifndef _WIN32
TEST(DirLock, KilledHolderLeavesTheDirectoryFree) {
  kqtest::scratch_dir d;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    plat::dir_lock held;
    long p;
    int e;
    char ok = held.acquire(d.str().c_str(), ".lock", &p, &e) == plat::dir_lock::held ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(2);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(ok, 'y');

  plat::dir_lock l;
  long pid = 0;
  int err = 0;
  EXPECT_EQ(l.acquire(d.str().c_str(), ".lock", &pid, &err), plat::dir_lock::busy);
  EXPECT_EQ(pid, static_cast<long>(child));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(l.acquire(d.str().c_str(), ".lock", &pid, &err), plat::dir_lock::held);
}
#endif
