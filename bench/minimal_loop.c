/* The floor this protocol allows: read each header and body, write a 32-byte reply, flush. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

static int32_t get32(const unsigned char* p) {
  return (int32_t)((uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24));
}

int main(void) {
  unsigned char header[32];
  static char body[1 << 20];
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  while (fread(header, 1, 32, stdin) == 32) {
    int32_t length = get32(header + 12);
    if (length < 0 || length > (int32_t)sizeof body || fread(body, 1, (size_t)length, stdin) != (size_t)length) break;
    if (get32(header) == 3) break;
    unsigned char reply[32] = {2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    memcpy(reply + 16, header + 20, 4);
    memcpy(reply + 20, header + 16, 4);
    fwrite(reply, 1, 32, stdout);
    fflush(stdout);
  }
  return 0;
}
