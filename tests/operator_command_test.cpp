// The operator's commands on the files of a program folder (no server), the
// wire format between tvlctl and the service, and the shared rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "chat/engine.h"
#include "chat/operator_rules.h"
#include "ops/command_args.h"
#include "ops/command_wire.h"
#include "ops/json_text.h"
#include "ops/operator_command.h"
#include "platform/fs.h"
#include "server/http_request.h"
#include "storage/account.h"
#include "storage/room_store.h"
#include "tests/support/test_util.h"

namespace tvl {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::TestEnvironment;

class OperatorCommand : public ::testing::Test {
 protected:
  TestEnvironment env_;
  TempDir dir_;
  std::string folder_;

  void SetUp() override {
    folder_ = dir_.path() + "chat/";
    fs::create_directories(folder_);
    fs::copy(std::string(TAVELLA_DIST_DIR) + "/rooms.sdb", folder_ + "rooms.sdb");
    fs::create_directories(folder_ + "users");
  }

  CommandResult run(const std::vector<std::string>& args, const std::string& input = "") {
    OperatorTarget t;
    t.program_folder = folder_;
    return run_operator_command(args, input, t);
  }

  // What the files hold, to see that a refused command changed nothing.
  std::string snapshot() {
    std::string all;
    for (const AccountListing& a : list_accounts(folder_))
      all += a.name + "|" + a.password + "|" + a.email + "|" + a.disabled + "\n";
    std::vector<RoomRow> rows;
    EXPECT_TRUE(list_room_rows(folder_, rows));
    for (const RoomRow& r : rows) all += r.name + "|" + r.admin + "\n";
    return all;
  }
};

TEST_F(OperatorCommand, UsersAreAddedChangedRenamedAndDeletedWithTheAccountRules) {
  EXPECT_EQ(run({"user", "add", "ann", "--password-stdin", "--email", "a@x.org"}, "s3cret\n").exit_code, 0);
  std::string icon;
  EXPECT_EQ(check_account(folder_, "ann", "s3cret", icon), AccountCheck::Member);

  CommandResult r = run({"user", "set", "ANN", "--disabled", "yes", "--password-stdin"}, "new\r\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(check_account(folder_, "ann", "new", icon), AccountCheck::Disabled);
  EXPECT_EQ(run({"user", "show", "ann", "--json"}).out,
            "{\"name\":\"ann\",\"sex\":\"2\",\"icon\":\"\",\"email\":\"a@x.org\",\"profile\":\"\","
            "\"disabled\":true}\n");

  EXPECT_EQ(run({"user", "rename", "ann", "anna"}).out, "user ann renamed to anna\n");
  EXPECT_EQ(run({"user", "list"}).out, "anna\tdisabled\n");
  EXPECT_EQ(check_account(folder_, "anna", "new", icon), AccountCheck::Disabled);  // values kept
  EXPECT_EQ(run({"user", "del", "Anna"}).exit_code, 0);
  EXPECT_EQ(run({"user", "list", "--json"}).out, "[]\n");
}

TEST_F(OperatorCommand, RoomsAreAddedChangedAndDeletedByTheirNumber) {
  EXPECT_EQ(run({"room", "add", "Garden", "--admins", "ann,bob", "--guests", "no"}).exit_code, 0);
  std::vector<RoomRow> rows;
  ASSERT_TRUE(list_room_rows(folder_, rows));
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[3].name, "Garden");
  EXPECT_EQ(rows[3].admin, "ann,bob");
  EXPECT_FALSE(rows[3].guest);

  EXPECT_EQ(run({"room", "set", "4", "--name=Yard", "--admins-only", "yes"}).exit_code, 0);
  EXPECT_EQ(run({"room", "list"}).out.substr(run({"room", "list"}).out.rfind("4\t")),
            "4\tYard\tadmins=ann,bob\tguests=no\tadmins-only=yes\n");
  EXPECT_EQ(run({"room", "del", "1"}).out, "room Lobby deleted\n");
  ASSERT_TRUE(list_room_rows(folder_, rows));
  EXPECT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].name, "Members");
}

// The answers that repeat a name (a room's, stored by whoever made it, or one
// typed) show its controls escaped like every other terminal output.
TEST_F(OperatorCommand, NamesRepeatedInAnswersCarryNoControls) {
  const std::string csi = "\xc2\x9b" "2J";  // a C1 control sequence, valid UTF-8
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
  } cases[] = {
      {{"room", "add", "Hall" + csi}, "room Hall\\xc2\\x9b2J added\n", ""},
      {{"room", "del", "4"}, "room Hall\\xc2\\x9b2J deleted\n", ""},
      {{"room", "del", "4\x1b[2J"}, "", "tvlctl: no room 4\\x1b[2J\n"},
      {{"user", "show", "x\x1b]0;t\x07"}, "", "tvlctl: no user x\\x1b]0;t\\x07\n"},
      {{"user", "del", "x" + csi}, "", "tvlctl: no user x\\xc2\\x9b2J\n"},
  };
  for (const Case& c : cases) {
    const CommandResult r = run(c.args);
    EXPECT_EQ(r.out, c.out) << c.args[1];
    EXPECT_EQ(r.err, c.err) << c.args[1];
  }
}

TEST_F(OperatorCommand, ErrorPathBadInputGivesAMessageAndAStatusAndChangesNothing) {
  ASSERT_EQ(run({"user", "add", "bob", "--password-stdin"}, "pw\n").exit_code, 0);
  struct Case {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string err;
  } cases[] = {
      {{}, "", 2, "tvlctl: a command is missing\n"},
      {{"frobnicate"}, "", 2, "tvlctl: unknown command \"frobnicate\"\n"},
      {{"user", "grant", "bob"}, "", 2, "tvlctl: unknown subcommand \"user grant\"\n"},
      {{"user", "add", "carl"}, "", 2,
       "tvlctl: user add needs a password (--password-stdin or the prompt)\n"},
      {{"user", "add", "carl", "--password-stdin", "--colour", "red"}, "x\n", 2,
       "tvlctl: unknown option \"--colour\"\n"},
      {{"user", "add", "carl", "--password-stdin", "--email"}, "x\n", 2,
       "tvlctl: option --email needs a value\n"},
      {{"user", "add", "a<b>", "--password-stdin"}, "x\n", 1,
       "tvlctl: invalid character in Username !\n"},
      {{"user", "add", "../x", "--password-stdin"}, "x\n", 1,
       "tvlctl: invalid character in Username !\n"},
      {{"user", "add", "BOB", "--password-stdin"}, "x\n", 1,
       "tvlctl: This username already exist!\n"},
      {{"user", "add", "carl", "--password-stdin"}, "\n", 1, "tvlctl: the password is empty\n"},
      {{"user", "add", "carl", "--password-stdin", "--disabled", "maybe"}, "x\n", 1,
       "tvlctl: --disabled takes yes or no\n"},
      {{"user", "add", "carl", "--password-stdin", "--icon", "../../etc/x"}, "x\n", 1,
       "tvlctl: --icon takes a picture file name of images/, such as 3.gif\n"},
      {{"user", "set", "bob", "--email", "a\nb"}, "", 1, "tvlctl: a value must be one line\n"},
      {{"user", "rename", "bob", "b\"c"}, "", 1, "tvlctl: invalid character in Username !\n"},
      {{"user", "show", "nobody"}, "", 1, "tvlctl: no user nobody\n"},
      {{"user", "del", "nobody"}, "", 1, "tvlctl: no user nobody\n"},
      {{"user", "show"}, "", 2, "tvlctl: missing argument\n"},
      {{"room", "add", ""}, "", 1, "tvlctl: The room name is empty!\n"},
      {{"room", "add", std::string(64, 'r')}, "", 1,
       "tvlctl: The room name is longer than 63 characters!\n"},
      {{"room", "add", "a\tb"}, "", 1,
       "tvlctl: The room name or the administrators contain a control character!\n"},
      {{"room", "add", "Hall", "--guests", "1"}, "", 1, "tvlctl: --guests takes yes or no\n"},
      {{"room", "set", "9", "--name", "X"}, "", 1, "tvlctl: no room 9\n"},
      {{"room", "del", "0"}, "", 1, "tvlctl: no room 0\n"},
      {{"room", "del", "1x"}, "", 1, "tvlctl: no room 1x\n"},
      {{"room", "list", "extra"}, "", 2, "tvlctl: too many arguments\n"},
      {{"kick", "bob"}, "", 1, "tvlctl: no server is running\n"},
      {{"ban", "1", "bob"}, "", 1, "tvlctl: no server is running\n"},
  };
  const std::string before = snapshot();
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "]";
    CommandResult r = run(c.args, c.input);
    EXPECT_EQ(r.exit_code, c.status) << shown;
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_EQ(snapshot(), before) << shown;
  }
}

TEST_F(OperatorCommand, ErrorPathAFolderThatCannotBeWrittenIsToldAsSuch) {
  fs::remove_all(folder_ + "users");
  CommandResult r = run({"user", "add", "carl", "--password-stdin"}, "x\n");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tvlctl: cannot write " + folder_ + "users/: the folder is missing or read-only\n");
  fs::remove(folder_ + "rooms.sdb");
  r = run({"room", "add", "Hall"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tvlctl: cannot write " + folder_ + "rooms.sdb: the file is missing or read-only\n");
  EXPECT_FALSE(is_regular_file(folder_ + "rooms.sdb"));  // never created
}

// The commands on a running chat: an engine loaded from the folder, its
// pages called as a browser would, no sockets.
class LiveCommands : public OperatorCommand {
 protected:
  ChatEngine engine_;

  void SetUp() override {
    OperatorCommand::SetUp();
    ASSERT_TRUE(write_whole_file(folder_ + "chat.htm", "chat"));
    engine_.load(folder_);
  }

  CommandResult live(const std::vector<std::string>& args) {
    OperatorTarget t;
    t.program_folder = folder_;
    t.engine = &engine_;
    return run_operator_command(args, "", t);
  }

  // A guest enters room 1 under `name` as it stands in the address.
  void enter(const std::string& name_in_address) { (void)enter_page(name_in_address, "", 1); }

  // The page a visitor entering `room` under `name_in_address` gets.
  std::string enter_page(const std::string& name_in_address, const std::string& password, int room) {
    std::string out;
    const std::string path = "/chat.ghp?username=" + name_in_address + "&password=" + password +
                             "&room=" + std::to_string(room) + "&sex=1";
    const std::string text = "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n";
    EXPECT_TRUE(engine_.pages().page(Page::Chat, path, parse_request(text, "10.1.2.3"), out));
    return out;
  }

  int online() {
    ChatState::Hold chat(engine_.state());
    return engine_.state().online_count();
  }
  bool active(int index) {
    ChatState::Hold chat(engine_.state());
    return engine_.state().user(index).active;
  }
};

// "The same name" is the chat's: one account name under the full case
// fold, found from the decoded name even where the address held escapes.
TEST_F(LiveCommands, KickAndBanFindTheVisitorUnderTheFoldedName) {
  enter("%C3%84nne");  // "Änne"
  enter("bob");
  ASSERT_EQ(online(), 2);
  CommandResult r = live({"ban", "1", "\xc3\xa4NNE"});  // "äNNE"
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(active(0));
  EXPECT_TRUE(active(1));
  EXPECT_TRUE(engine_.pages().context().guards->bans.banned("Lobby", "\xc3\x84nne"));

  r = live({"kick", "\xc3\xa4nnE"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "\xc3\xa4nnE kicked\n");
  EXPECT_EQ(online(), 1);
  // The ban outlasts the place, as the room's ban command's does.
  enter("%C3%84nne");
  EXPECT_FALSE(active(1));
}

// A ban given --for holds the place and its network until the chat clock
// passes its end, then the place posts again and the network enters free.
TEST_F(LiveCommands, ATimedBanEndsByItself) {
  long long clock = 1000000;
  engine_.pages().context().now_ms = [&clock] { return clock; };
  enter("troll");
  CommandResult r = live({"ban", "1", "troll", "--for", "30m"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "troll banned in room 1 for 30m\n");
  EXPECT_FALSE(active(0));
  enter("troll2");  // the same network
  EXPECT_FALSE(active(1));
  clock += 30 * 60 * 1000 - 1;
  EXPECT_NE(live({"online"}).out.find("banned"), std::string::npos);
  clock += 1;
  r = live({"online"});
  EXPECT_EQ(r.out.find("banned"), std::string::npos) << r.out;
  EXPECT_TRUE(active(0));
  EXPECT_TRUE(active(1));
  enter("troll3");  // the others may have timed out meanwhile
  EXPECT_TRUE(active(online() - 1));
}

// Closing guest entry refuses guests of the whole chat or one room with
// its own page; members still enter, guests already in stay.
TEST_F(LiveCommands, GuestEntryClosesAndOpensForTheChatOrARoom) {
  ASSERT_EQ(run({"user", "add", "ann", "--password-stdin"}, "pw\n").exit_code, 0);
  ASSERT_EQ(run({"room", "add", "Hall", "--guests", "yes"}).exit_code, 0);  // room 4
  engine_.load(folder_);
  const std::string closed = "Guests cannot join at the moment";
  enter("early");
  CommandResult r = live({"guests", "close"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "guest entry closed for the whole chat\n");
  EXPECT_NE(enter_page("late", "", 1).find(closed), std::string::npos);
  EXPECT_NE(enter_page("late", "", 4).find(closed), std::string::npos);
  EXPECT_EQ(enter_page("ann", "pw", 1).find(closed), std::string::npos);
  EXPECT_EQ(online(), 2);  // early and ann
  // A room cannot be opened alone while the whole chat is closed.
  r = live({"guests", "open", "4"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tvlctl: guest entry to room 4 stays closed: it is closed for the whole chat\n");

  EXPECT_EQ(live({"guests", "close", "4"}).out, "guest entry closed for room 4\n");
  EXPECT_EQ(live({"guests", "open"}).out, "guest entry open for the whole chat\n");
  EXPECT_EQ(enter_page("late", "", 1).find(closed), std::string::npos);  // opening the chat opens room 4
  EXPECT_EQ(enter_page("later", "", 4).find(closed), std::string::npos);
  EXPECT_EQ(online(), 4);

  EXPECT_EQ(live({"guests", "close", "1"}).exit_code, 0);
  EXPECT_NE(enter_page("third", "", 1).find(closed), std::string::npos);
  EXPECT_EQ(enter_page("third", "", 4).find(closed), std::string::npos);
  EXPECT_EQ(live({"guests", "open", "1"}).out, "guest entry open for room 1\n");
  EXPECT_EQ(enter_page("fourth", "", 1).find(closed), std::string::npos);

  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"guests"}, {"guests", "shut"}, {"guests", "close", "1", "2"},
        {"guests", "open", "--json"}})
    EXPECT_EQ(live(bad).exit_code, 2) << bad.size();
  r = live({"guests", "close", "9"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "tvlctl: no room 9\n");
}

TEST(CommandArgs, DurationsTakeMinutesHoursAndDays) {
  const struct {
    const char* text;
    long long seconds;  // 0: refused
  } cases[] = {
      {"30m", 1800}, {"1h", 3600},    {"2d", 172800}, {"366d", 366 * 86400LL},
      {"367d", 0},   {"0h", 0},       {"h", 0},       {"1", 0},
      {"1s", 0},     {"-1h", 0},      {"1.5h", 0},    {"1H", 0},
      {"", 0},       {"9999999d", 0}, {" 1h", 0},
  };
  for (const auto& c : cases) {
    long long seconds = -1;
    EXPECT_EQ(parse_duration(c.text, seconds), c.seconds != 0) << c.text;
    EXPECT_EQ(seconds, c.seconds ? c.seconds : -1) << c.text;
  }
}

TEST_F(LiveCommands, ErrorPathBanAndKickRefuseWhatIsNotThere) {
  enter("bob");
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"ban", "4", "bob"}, "tvlctl: no room 4\n"},
      {{"ban", "0", "bob"}, "tvlctl: no room 0\n"},
      {{"ban", "1x", "bob"}, "tvlctl: no room 1x\n"},
      {{"ban", "2", "bob"}, "tvlctl: bob is not in room 2\n"},
      {{"ban", "1", "bobby"}, "tvlctl: bobby is not in room 1\n"},
      {{"kick", "bo"}, "tvlctl: bo is not online\n"},
  };
  for (const auto& c : cases) {
    CommandResult r = live(c.args);
    EXPECT_EQ(r.exit_code, 1) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.err, c.err);
  }
  for (const char* bad : {"1x", "0h", "h", "1 h"}) {
    CommandResult r = live({"ban", "1", "bob", "--for", bad});
    EXPECT_EQ(r.exit_code, 2) << bad;
  }
  EXPECT_EQ(live({"ban", "1", "bob", "--for"}).exit_code, 2);
  EXPECT_EQ(online(), 1);
  EXPECT_TRUE(active(0));
}

TEST(OperatorWire, RequestsAndAnswersRoundTripAndDamagedOnesAreRefused) {
  CommandRequest q{"/opt/chat/", {"user", "add", "a\nb", ""}, std::string("pw\0x\n", 5)};
  CommandRequest back;
  ASSERT_TRUE(decode_request(encode_request(q), back));
  EXPECT_EQ(back.folder, q.folder);
  EXPECT_EQ(back.args, q.args);
  EXPECT_EQ(back.input, q.input);
  CommandResult r{1, "out\n", std::string("e\0rr", 4)}, got;
  ASSERT_TRUE(decode_result(encode_result(r), got));
  EXPECT_EQ(got.exit_code, 1);
  EXPECT_EQ(got.out, r.out);
  EXPECT_EQ(got.err, r.err);

  const std::string whole = encode_request(q);
  for (const std::string& bad :
       {std::string(), whole.substr(0, whole.size() - 1), whole + "x", "tvlctl 2\n" + whole.substr(9),
        std::string("tvlctl 1\n3\n/a/1\n99999999\n")}) {
    CommandRequest untouched;
    EXPECT_FALSE(decode_request(bad, untouched)) << bad;
  }
  EXPECT_FALSE(decode_result("1\n0\n2\nab", got));
  EXPECT_FALSE(decode_result("x\n0\n0\n", got));
}

TEST(OperatorArgs, OptionsFlagsAndPositionalsAreToldApart) {
  const std::set<std::string> options = {"--name", "--admins"}, flags = {"--json"};
  const struct {
    std::vector<std::string> args;
    std::size_t positionals;
    std::string error, name;
    bool json;
    std::vector<std::string> positional;
  } cases[] = {
      {{"room", "set", "2", "--name", "Hall"}, 1, "", "Hall", false, {"2"}},
      {{"room", "set", "--name=a=b", "2"}, 1, "", "a=b", false, {"2"}},
      {{"room", "set", "--name=", "2", "--json"}, 1, "", "", true, {"2"}},
      // "--" alone and "-x" are words, not options.
      {{"room", "set", "--", "-x"}, 2, "", "", false, {"--", "-x"}},
      {{"room", "set", "2", "--name"}, 1, "option --name needs a value", "", false, {"2"}},
      {{"room", "set", "2", "--json=yes"}, 1, "unknown option \"--json=yes\"", "", false, {"2"}},
      {{"room", "set", "2", "--nam", "x"}, 1, "unknown option \"--nam\"", "", false, {"2"}},
      {{"room", "set"}, 1, "missing argument", "", false, {}},
      {{"room", "set", "2", "3"}, 1, "too many arguments", "", false, {"2", "3"}},
  };
  for (const auto& c : cases) {
    CommandArgs p = parse_command_args(c.args, 2, options, flags, c.positionals);
    EXPECT_EQ(p.error, c.error) << c.args.back();
    if (!c.error.empty()) continue;
    EXPECT_EQ(p.positional, c.positional);
    EXPECT_EQ(p.value("--name") ? *p.value("--name") : "", c.name);
    EXPECT_EQ(p.has("--json"), c.json);
  }

  bool on = true;
  EXPECT_TRUE(parse_yes_no("no", on));
  EXPECT_FALSE(on);
  EXPECT_FALSE(parse_yes_no("Yes", on));
  EXPECT_FALSE(on);
  EXPECT_EQ(first_line("pw\r\nrest"), "pw");
  EXPECT_EQ(first_line("pw"), "pw");
  for (const auto& [text, number] : std::vector<std::pair<std::string, int>>{
           {"1", 1}, {"007", 7}, {"999999", 999999}, {"1000000", 0}, {"", 0}, {"-1", 0}, {"1 ", 0}})
    EXPECT_EQ(room_number_of(text), number) << text;
}

TEST(OperatorJson, StringsAreEscapedForAScript) {
  JsonList list;
  EXPECT_EQ(list.text(), "[]\n");
  list.add("{}");
  list.add("1");
  EXPECT_EQ(list.text(), "[{},1]\n");

  EXPECT_EQ(json_string("plain"), "\"plain\"");
  EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(json_string(std::string("\n\x01\x7f", 3)), "\"\\u000a\\u0001\\u007f\"");
  EXPECT_EQ(json_string("\xc3\xa9"), "\"\xc3\xa9\"");
}

}  // namespace
}  // namespace tvl
