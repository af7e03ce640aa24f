#include "agent/console.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

bool console_std_open() {
  // open() takes the lowest free descriptor: keep opening until one lands
  // above 2, which is then the only one to give back.
  for (;;) {
    int fd = open("/dev/null", O_RDWR);
    // A chroot or an early-boot /dev without null: a directory cannot be
    // written to, so console lines and the shell's messages are dropped.
    if (fd < 0) fd = open("/", O_RDONLY);
    if (fd < 0) return false;
    if (fd > STDERR_FILENO) {
      close(fd);
      return true;
    }
  }
}

void console_begin() {
  // A terminal is line-buffered already; a log file or pipe now is too.
  (void)setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  (void)signal(SIGPIPE, SIG_IGN);
}

void console_handover() {
  (void)fflush(stdout);
  (void)signal(SIGPIPE, SIG_DFL);
}
