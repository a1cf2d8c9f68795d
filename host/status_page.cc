#include "host/status_page.h"

#include <cstring>

#include "server/client_slots.h"
#include "server/server.h"
#include "server/session.h"
#include "tmbio/tmbio.h"

namespace tmb {
namespace {

// "Tamblo® SQL Server" in Windows-1252, where the mark is the byte 0xAE.
constexpr const char* kProductName = "Tamblo\xAE SQL Server";
constexpr const char* kServerVersion = TMB_SERVER_VERSION;  // from the CMake project
constexpr const char* kTlsLibraryVersion = "OpenSSL 3.5.0 8 Apr 2025";

// An HTTP date in English whatever the process locale: the names are spelled
// out here rather than asked of strftime, so no process-wide locale switch is
// needed and other threads never see one.
std::string HttpDate(std::time_t now) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

}  // namespace

std::string BuildStatusPage(const StatusCounts& counts, std::time_t now) {
  std::string body = "<html><body><h1>Hello from: ";
  body += kProductName;
  body += ' ';
  if (counts.secure) body += "(Secure)";
  body += "</h1><p>Version: ";
  body += kServerVersion;
  body += "<br>";
  body += kTlsLibraryVersion;
  body += "</p><h2>Usage Info</h2><p>Number of user slots in use : ";
  body += std::to_string(counts.slots_in_use);
  body += "<br>Number of connections : ";
  body += std::to_string(counts.connections);
  body += "<br>Number of files opened: ";
  body += std::to_string(counts.open_files);
  body += "</p></body></html>";

  const std::string date = HttpDate(now);
  std::string page = "HTTP/1.1 200 OK\n";
  page += "Date: " + date + "\n";
  page += "Server: Tamblo SQL ODBC Server\n";
  page += "Last-Modified: " + date + "\n";
  page += "Content-Length: " + std::to_string(body.size()) + "\n";
  page += "Content-Type : text/html\n";
  page += "Connection: Closed\n";
  page += "\n";
  page += body;
  return page;
}

bool AnswerStatusPage(Session& session) {
  char head[4];
  if (ConnectionPeek(session.conn, head, sizeof head) != 4 || std::memcmp(head, "GET ", 4) != 0) {
    return false;
  }
  StatusCounts counts;
  counts.secure = !Settings().certificate.empty();
  counts.slots_in_use = SlotsInUse();
  counts.open_files = GetNumOpenFiles();
  counts.connections = GetNumConnections();
  const std::string page = BuildStatusPage(counts, std::time(nullptr));
  ConnectionSend(session.conn, page.data(), static_cast<int64_t>(page.size()));
  return true;
}

}  // namespace tmb
