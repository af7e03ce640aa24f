// The report: one curl command line, echoed and run through the shell.
#ifndef KELVORN_REPORT_REPORT_H_
#define KELVORN_REPORT_REPORT_H_

#include <stddef.h>

#include "agent/device_identity.h"

#ifndef KELVORN_REPORT_HOST
#error "KELVORN_REPORT_HOST must name the inventory service (set by the build)"
#endif

// Where curl leaves the service's reply, for the router's other programs.
#define REPORT_OUTPUT_PATH "/tmp/vercheck.conf"

// Options an integrator may compile in, each checked by the build like the
// host. Without them the service's certificate is not verified, and curl
// takes as long as the service lets it.
#ifdef KELVORN_TLS_CA_FILE
#define REPORT_TLS_OPTION "--cacert " KELVORN_TLS_CA_FILE
#else
#define REPORT_TLS_OPTION "--insecure"
#endif
// curl checks the service's public key against these even with --insecure:
// no CA bundle and no right clock needed. Joined by ";", a shell operator,
// so the list goes in single quotes; the build lets no quote into a pin.
#ifdef KELVORN_TLS_PINNED_KEYS
#define REPORT_PIN_OPTION " --pinnedpubkey '" KELVORN_TLS_PINNED_KEYS "'"
#else
#define REPORT_PIN_OPTION ""
#endif
#ifdef KELVORN_CURL_MAX_TIME
#define REPORT_TIME_OPTION " --max-time " KELVORN_CURL_MAX_TIME
#else
#define REPORT_TIME_OPTION ""
#endif

// The safe reply: the router's programs act on the reply, so it replaces
// the earlier one only whole. curl fails on an HTTP error, and on a
// redirect, which it then neither follows nor writes; it writes into a
// private file beside the reply, named when the command is built, and the
// agent renames that over the reply only when curl succeeded and wrote
// something. rename() replaces a link planted in /tmp, never follows it.
#ifdef KELVORN_SAFE_REPLY
#define REPORT_REPLY_OPTION " --fail --location --max-redirs 0"
#define REPORT_CURL_OUTPUT REPORT_OUTPUT_PATH ".XXXXXX"
#else
#define REPORT_REPLY_OPTION ""
#define REPORT_CURL_OUTPUT REPORT_OUTPUT_PATH
#endif

// Pasted into a shell line unquoted (but for the pins' quotes). That is safe
// because every field is hex, decimal or the fixed version, and the build
// accepts only a plain DNS name (letters, digits, hyphens, dots) for the
// host, a plain path and number for the options, and base64 for the pins;
// the private file's name is letters and digits.
#define REPORT_COMMAND_TEMPLATE                                                               \
  "curl --silent " REPORT_TLS_OPTION REPORT_PIN_OPTION REPORT_TIME_OPTION REPORT_REPLY_OPTION \
  " https://" KELVORN_REPORT_HOST                                                             \
  "/storage/router-dovrak-item/inform/"                                                       \
  "%02x:%02x:%02x:%02x:%02x:%02x/%s/%s -o " REPORT_CURL_OUTPUT

// A DNS name is at most 253 characters; the build refuses a longer host.
constexpr size_t REPORT_HOST_MAX = 253;
static_assert(sizeof(KELVORN_REPORT_HOST) - 1 <= REPORT_HOST_MAX, "report host too long");

// The longest line any allowed host can give: the template's fixed text, the
// host, a 17-character MAC, a 15-character dotted quad and the version. The
// options, pins included, are fixed text of the template.
// sizeof() counts a literal's NUL: the template's stays, for the line's own.
// clang-format off
constexpr size_t REPORT_COMMAND_MAX =
    sizeof(REPORT_COMMAND_TEMPLATE)
    - (sizeof(KELVORN_REPORT_HOST) - 1) + REPORT_HOST_MAX  // the host
    - (size_t{6} * 2)                   // six "%02x" become two hex digits each
    - 2 + 15                            // "%s" becomes the dotted quad
    - 2 + (sizeof(agent_version) - 1);  // "%s" becomes the version
// clang-format on

struct ReportCommand {
  char line[REPORT_COMMAND_MAX];
};

// Formats the report line for `id`'s MAC and IPv4 address. With the safe
// reply it also makes the private file the line names, or names /dev/null
// where none can be made (a read-only or full /tmp): the report still goes
// out, and the earlier reply stays.
ReportCommand report_command_build(const DeviceIdentity &id);

// Echoes `command` and runs it through /bin/sh, waiting for it to finish.
// curl's outcome changes nothing in the run; with the safe reply it decides
// whether the private file replaces the reply or is removed.
void report_command_run(const char *command);

#endif  // KELVORN_REPORT_REPORT_H_
