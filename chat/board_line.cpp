#include "chat/board_line.h"

#include "chat/page_escape.h"

namespace tvl {

namespace {

const char kLine[] = "<div class=\"line\">";
const char kPrivateLine[] = "<div class=\"line priv\">";
// The mark is written, not drawn by the window, so that every client (and
// a screen reader) sees it where the server put it.
const char kPrivateMark[] = "<span class=\"mark\">private</span> ";

std::string line_start(bool private_line) {
  return private_line ? std::string(kPrivateLine) + "<span class=\"head\">" + kPrivateMark
                      : std::string(kLine) + "<span class=\"head\">";
}

std::string time_part(const std::string& time) {
  return "<span class=\"time\">" + escape_html(time) + "</span> ";
}

}  // namespace

std::string head_name_link(const std::string& name) {
  const std::string shown = escape_html(name);
  return "<a href=\"#\" data-name=\"" + shown + "\">" + shown + "</a>";
}

std::string said_line(const std::string& time, const std::string& from, const std::string& to,
                      bool private_line, const std::string& text) {
  return line_start(private_line) + time_part(time) + head_name_link(from) + " =&gt; " +
         head_name_link(to) + "</span> <span class=\"text\">" + text + "</span></div>";
}

std::string presence_line(const std::string& time, const std::string& name, const char* what) {
  return line_start(false) + time_part(time) + head_name_link(name) +
         "</span> <span class=\"note\">" + escape_html(what) + "</span></div>";
}

std::string notice_line(const std::string& html, bool private_line) {
  return line_start(private_line) + "</span><span class=\"note\">" + html + "</span></div>";
}

bool is_private_line(const std::string& line) {
  return line.compare(0, sizeof kPrivateLine - 1, kPrivateLine) == 0;
}

}  // namespace tvl
