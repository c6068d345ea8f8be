/* The bench's CivetWeb peer: serves a folder on a loopback port until
 * SIGTERM or SIGINT. Usage: civet_server FOLDER PORT */
#include <civetweb.h>
#include <signal.h>
#include <stdio.h>

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  char ports[64];
  snprintf(ports, sizeof ports, "127.0.0.1:%s", argv[2]);
  const char *options[] = {"document_root", argv[1], "listening_ports", ports,
                           "num_threads", "128", "enable_keep_alive", "yes",
                           "tcp_nodelay", "1", NULL};
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  sigprocmask(SIG_BLOCK, &stop, NULL); /* worker threads inherit the mask */
  mg_init_library(0);
  struct mg_context *ctx = mg_start(NULL, NULL, options);
  if (!ctx) return 1;
  int sig;
  sigwait(&stop, &sig);
  mg_stop(ctx);
  mg_exit_library();
  return 0;
}
