// Development stand-in for the router's closed libapmib.so. It serves the
// items listed in the text file named by $APMIB_STORE, one item a line:
//
//   # comment
//   100 00:1a:2b:3c:4d:5e          item id (or name), then 1 to 12 hex bytes
//   MIB_HW_NIC1_ADDR fail          the read returns 0 and writes nothing
//   100 fail de:ad:be:ef:00:01     the read returns 0 but writes these bytes
//   @keep-open                     apmib_init opens the file read-write and
//                                  keeps it open until the process ends, as
//                                  a flash-backed store keeps its partition
//   @stderr TEXT                   apmib_init writes TEXT and a newline to
//                                  standard error, as chatty stores do
//   @stderr-get TEXT               so does every apmib_get
//
// apmib_init fails when the variable is unset or the file is missing,
// unreadable or holds a line it cannot parse. A read of an item the file does
// not list fails and writes nothing.
#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
int apmib_init(void);
int apmib_get(int id, void *value);
}

namespace {

constexpr int kMaxItems = 32;
constexpr int kMaxBytes = 12;

struct Item {
  int id;
  bool ok;
  int len;
  unsigned char bytes[kMaxBytes];
};

Item g_items[kMaxItems];
int g_count;
bool g_ready;
bool g_keep_open;
char g_diagnostic[200];
char g_get_diagnostic[200];

struct Name {
  const char *name;
  int id;
};
const Name kNames[] = {{"MIB_WAN_MAC_ADDR", 100}, {"MIB_HW_NIC1_ADDR", 202}};

bool parse_id(const char *word, int &id) {
  for (const Name &n : kNames) {
    if (strcmp(word, n.name) == 0) {
      id = n.id;
      return true;
    }
  }
  char *end;
  long v = strtol(word, &end, 10);
  if (end == word || *end != '\0' || v < 0 || v > 0xffff) return false;
  id = static_cast<int>(v);
  return true;
}

// "aa:bb:..." with 1 to kMaxBytes two-digit hex bytes.
bool parse_bytes(const char *word, Item &item) {
  item.len = 0;
  for (const char *p = word;; p += 3) {
    if (item.len == kMaxBytes || isxdigit(static_cast<unsigned char>(p[0])) == 0 ||
        isxdigit(static_cast<unsigned char>(p[1])) == 0)
      return false;
    const char hex[3] = {p[0], p[1], '\0'};
    item.bytes[item.len++] = static_cast<unsigned char>(strtoul(hex, nullptr, 16));
    if (p[2] == '\0') return true;
    if (p[2] != ':') return false;
  }
}

bool parse_line(char *line, Item &item) {
  const char *words[4] = {};
  int n = 0;
  for (char *w = strtok(line, " \t\r\n"); w != nullptr; w = strtok(nullptr, " \t\r\n")) {
    if (n == 4) return false;
    words[n++] = w;
  }
  if (n < 2 || !parse_id(words[0], item.id)) return false;
  item.ok = strcmp(words[1], "fail") != 0;
  item.len = 0;
  if (item.ok) return n == 2 && parse_bytes(words[1], item);
  return n == 2 || (n == 3 && parse_bytes(words[2], item));
}

// "@keep-open", "@stderr TEXT" or "@stderr-get TEXT": how this store
// behaves, not an item.
bool parse_directive(const char *line) {
  if (strcmp(line, "@keep-open") == 0) {
    g_keep_open = true;
    return true;
  }
  char *diagnostic = nullptr;
  if (strncmp(line, "@stderr ", 8) == 0) {
    diagnostic = g_diagnostic;
    line += 8;
  } else if (strncmp(line, "@stderr-get ", 12) == 0) {
    diagnostic = g_get_diagnostic;
    line += 12;
  }
  return diagnostic != nullptr &&
         snprintf(diagnostic, sizeof g_diagnostic, "%s", line) < int{sizeof g_diagnostic};
}

bool load(const char *path) {
  FILE *f = fopen(path, "r");
  if (f == nullptr) return false;
  char line[256];
  bool good = true;
  g_count = 0;
  while (good && fgets(line, sizeof line, f) != nullptr) {
    char *p = line;
    while (isspace(static_cast<unsigned char>(*p)) != 0) ++p;
    if (*p == '\0' || *p == '#') continue;
    if (*p == '@') {
      p[strcspn(p, "\r\n")] = '\0';
      good = parse_directive(p);
      continue;
    }
    good = g_count < kMaxItems && parse_line(p, g_items[g_count]);
    ++g_count;
  }
  if (ferror(f) != 0) good = false;
  (void)fclose(f);
  return good;
}

}  // namespace

int apmib_init(void) {
  const char *path = getenv("APMIB_STORE");
  g_ready = path != nullptr && load(path);
  if (g_diagnostic[0] != '\0') (void)fprintf(stderr, "%s\n", g_diagnostic);
  // Held to the end, as a flash-backed store holds its partition, and with
  // no close-on-exec, as such stores open it.
  if (g_ready && g_keep_open) g_ready = open(path, O_RDWR) >= 0;
  return g_ready ? 1 : 0;
}

int apmib_get(int id, void *value) {
  if (g_get_diagnostic[0] != '\0') (void)fprintf(stderr, "%s\n", g_get_diagnostic);
  if (!g_ready) return 0;
  for (int i = 0; i < g_count; ++i) {
    const Item &item = g_items[i];
    if (item.id != id) continue;
    memcpy(value, item.bytes, static_cast<size_t>(item.len));
    return item.ok ? 1 : 0;
  }
  return 0;
}
