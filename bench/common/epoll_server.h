// A single-threaded, edge-triggered epoll server for the yardstick programs of bench/: listens
// on a port of all addresses, accepts without blocking (TCP_NODELAY on each connection), and
// hands every event to the program's callbacks. Runs until listening fails.
#pragma once
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdint>
#include <cstdio>

namespace bench {

// accepted(fd): a new connection. event(ep, fd, epollEvents): readiness of a connection.
// batchDone(): after each batch of events, before the next wait.
template <class Accepted, class Event, class BatchDone>
int RunEpollServer(const char* name, uint16_t port, Accepted accepted, Event event, BatchDone batchDone) {
  std::signal(SIGPIPE, SIG_IGN);
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  int on = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(lfd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(lfd, 4096) != 0) {
    std::perror(name);
    return 1;
  }
  int ep = epoll_create1(0);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = lfd;
  epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);
  epoll_event events[512];
  for (;;) {
    int n = epoll_wait(ep, events, 512, -1);
    for (int i = 0; i < n; ++i) {
      int fd = events[i].data.fd;
      if (fd != lfd) {
        event(ep, fd, events[i].events);
        continue;
      }
      for (;;) {
        int c = accept4(lfd, nullptr, nullptr, SOCK_NONBLOCK);
        if (c < 0) break;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        accepted(c);
        epoll_event cev{};
        cev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        cev.data.fd = c;
        epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
      }
    }
    batchDone();
  }
}

}  // namespace bench
