#include "raw_ping_client.h"

#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

/* The Ping request frame captured from an RCF 3.4 client. */
static const unsigned char kPingFrame[] = {
    0x1c, 0x00, 0x00, 0x00, 0x01, 0x07, 0x0b, 'I', 'R', 'p', 'c', 'S', 'e', 'r', 'v', 'i',
    'c',  'e',  0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x0d, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

int raw_ping_connect(const char* path) {
  struct sockaddr_un addr;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    close(fd);
    return -1;
  }
  strcpy(addr.sun_path, path);
  if (connect(fd, (const struct sockaddr*)&addr, sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static int read_exactly(int fd, unsigned char* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, buf + got, n - got);
    if (r <= 0) return -1;
    got += (size_t)r;
  }
  return 0;
}

long raw_ping(int fd, unsigned char* buf, size_t cap) {
  size_t len;
  if (send(fd, kPingFrame, sizeof kPingFrame, MSG_NOSIGNAL) != (ssize_t)sizeof kPingFrame) return -1;
  if (cap < 4 || read_exactly(fd, buf, 4) != 0) return -1;
  len = (size_t)buf[0] | (size_t)buf[1] << 8 | (size_t)buf[2] << 16 | (size_t)buf[3] << 24;
  if (len > cap - 4 || read_exactly(fd, buf + 4, len) != 0) return -1;
  return (long)(len + 4);
}
