// The answers the HTTP server writes, as the suites expect them with the date
// masked (mask_date): the head of a whole answer, of a chat page and of a
// short answer the server makes itself, and the chat's refusal pages.
#pragma once
#include <string>

namespace tvl::test::expected {

// The lines every answer carries before its empty line.
inline const std::string kGuard =
    "X-Content-Type-Options: nosniff\r\nX-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: frame-ancestors 'self'; script-src 'self'; object-src 'none'; "
    "base-uri 'none'; form-action 'self'\r\nReferrer-Policy: same-origin\r\n";
inline const std::string kNoStore = "Cache-Control: no-store\r\n";

inline std::string standard(const std::string& status, const std::string& body, bool keep,
                            const std::string& type = "text/html", const std::string& extra = "") {
  return "HTTP/1.0 " + status + "\r\nDate: <date>\r\nServer: Tavella Server/1.0\r\n" +
         "Accept-Ranges: bytes\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: " + (keep ? "Keep-Alive" : "close") + "\r\nContent-Type: " + type +
         "\r\n" + kGuard + extra + "\r\n" + body;
}

// The answer of a chat page or post.
inline std::string page_answer(const std::string& status, const std::string& body, bool keep) {
  return standard(status, body, keep, "text/html", kNoStore);
}

inline std::string short_answer(const std::string& status, const std::string& body,
                                const std::string& extra = "") {
  return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: text/html\r\nDate: <date>\r\nServer: Tavella Server/1.0\r\n" +
         kGuard + extra + "\r\n" + body;
}

// The chat's short refusal pages.
inline constexpr char kBadLogin[] =
    "<BODY bgcolor=\"#EBEBD6\">Invalid username or password! <br><font color=red size=2>Note: guest "
    "does not need password.</font></body>";
inline constexpr char kTaken[] =
    "<BODY bgcolor=\"#EBEBD6\">This username has logged on, please select another username!</body>";
inline constexpr char kRefusedName[] =
    "<BODY bgcolor=\"#EBEBD6\">This username is not allowed, please choose another username!</body>";
inline constexpr char kNotOnline[] = "<BODY bgcolor=\"#EBEBD6\">invalid username!</body>";

}  // namespace tvl::test::expected
