/* A resolver that hangs, for the tests: loaded with LD_PRELOAD, this
 * getaddrinfo never answers for a host name that ends in the text of the
 * environment variable QUIB_TEST_HANG_SUFFIX (as a resolver whose name
 * servers do not answer). Every other look-up, and every look-up of an
 * address literal (AI_NUMERICHOST, which asks no name server), goes to the
 * C library's getaddrinfo. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef int (*getaddrinfo_fn)(const char*, const char*, const struct addrinfo*, struct addrinfo**);

static int hangs_for(const char* node, const struct addrinfo* hints) {
  const char* suffix = getenv("QUIB_TEST_HANG_SUFFIX");
  if (node == NULL || suffix == NULL || *suffix == '\0') return 0;
  if (hints != NULL && (hints->ai_flags & AI_NUMERICHOST)) return 0;
  const size_t n = strlen(node);
  const size_t m = strlen(suffix);
  return n >= m && strcmp(node + n - m, suffix) == 0;
}

int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                struct addrinfo** res) {
  if (hangs_for(node, hints)) {
    for (;;) pause();
  }
  getaddrinfo_fn real = (getaddrinfo_fn)dlsym(RTLD_NEXT, "getaddrinfo");
  return real(node, service, hints, res);
}
