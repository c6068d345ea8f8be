#include "tests/admin/admin_fixture.h"

#include <QtTest>

#include <filesystem>

#include "admin/dialog_seam.h"
#include "admin/system_tray.h"
#include "platform/message_box.h"
#include "platform/profile.h"

namespace fs = std::filesystem;

namespace tvl::test {

AdminSite::QtEnvironment::QtEnvironment() {
  qputenv("TAVELLA_STATE_DIR", QByteArray::fromStdString(state.path()));
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path()));
}

AdminSite::QtEnvironment::~QtEnvironment() {
  qunsetenv("TAVELLA_STATE_DIR");
  qunsetenv("XDG_CONFIG_HOME");
}

AdminSite::AdminSite() {
  // Everything the build puts in dist/ except the programs and old logs.
  const fs::path dist(TAVELLA_DIST_DIR);
  for (const auto& entry : fs::directory_iterator(dist)) {
    const std::string name = entry.path().filename().string();
    if (name == "Tavella" || name == "tvlService" || name == "log") continue;
    fs::copy(entry.path(), fs::path(folder()) / name,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  fs::create_directories(fs::path(folder()) / "users");
  port_ = reserved_.port();
  set_option("Port", std::to_string(port_));
  set_message_sink([this](const std::string& caption, const std::string& text, MessageIcon icon) {
    std::lock_guard<std::mutex> hold(messages_lock_);
    messages_.push_back({caption, text, icon});
  });
  // No test may block in a real modal loop: a dialog nobody expected is
  // cancelled.
  set_dialog_hook([](QDialog& dialog) { dialog.reject(); });
  CSystemTray::set_available_for_tests(1);
}

AdminSite::~AdminSite() {
  close_window();
  set_dialog_hook(nullptr);
  set_message_sink(nullptr);
  CSystemTray::set_available_for_tests(-1);
}

void AdminSite::set_option(const std::string& key, const std::string& value) {
  QVERIFY2(write_profile_string("Server", key, value, folder() + "option.ini"), key.c_str());
}

void AdminSite::set_tray(bool available) { CSystemTray::set_available_for_tests(available ? 1 : 0); }

CServerDlg& AdminSite::open(CServerDlg::Setup setup) {
  close_window();
  setup.program_folder = folder();
  window_ = std::make_unique<CServerDlg>(setup);
  return *window_;
}

void AdminSite::close_window() { window_.reset(); }

std::vector<RecordedMessage> AdminSite::take_messages() {
  std::lock_guard<std::mutex> hold(messages_lock_);
  std::vector<RecordedMessage> taken;
  taken.swap(messages_);
  return taken;
}

size_t AdminSite::message_count() {
  std::lock_guard<std::mutex> hold(messages_lock_);
  return messages_.size();
}

void AdminSite::on_dialog(std::function<void(QDialog&)> hook) {
  if (hook) set_dialog_hook(std::move(hook));
  else set_dialog_hook([](QDialog& dialog) { dialog.reject(); });
}

bool port_serves(int port) {
  RawClient client;
  return client.connect(port, 500);
}

}  // namespace tvl::test
