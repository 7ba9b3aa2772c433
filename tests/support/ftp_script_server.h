// A scripted FTP server for protocol tests. It runs on a thread of the test
// process, listens on port 21 of a loopback address of its own (127.0.0.N)
// and answers each command the way its script says: exact reply bytes, cut
// into writes with pauses, or a closed connection; for transfers it also
// connects to the PORT address and sends or receives data in chosen chunks.
// A reply that holds "{port}" (or "{p1}", "{p2}", "{h}") offers a passive
// data connection: the server listens on a fresh port of its own address and
// fills in that port (decimal, or its high and low byte) and its address
// (comma-separated, as in a 227 reply); the transfer then takes the client's
// connection there instead of connecting to a PORT address.
//
// It records everything the client sends, so a test can compare the command
// transcript with the one it expects (ports masked):
//
//   ftptest::Script script;
//   script.defaults()   // willing answers to USER, PASS, PORT, TYPE, CWD, PWD, QUIT
//       .transfer("RETR", "150 here it comes\r\n",
//                 ftptest::Data::sending({{"line 1\r\nli"}, {"ne 2\r\n", 50}}),
//                 "226 done\r\n");
//   ftptest::ScriptServer server(script);
//   ASSERT_TRUE(server.start(&error)) << error;
//   ... the client logs in to server.address() and reads the file ...
//   server.stop();
//   EXPECT_EQ(server.transcript(), "USER u\nPASS p\nPORT 127,0,0,1,*,*\nTYPE A\nRETR f\nQUIT\n");
//
// Every wait of the server is bounded (see Timeouts), and stop() always ends
// the thread and closes every socket.
#pragma once
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/net.h"

namespace ftptest {

// One write on a connection: `bytes`, after a pause of `delay_ms`.
struct Chunk {
  std::string bytes;
  int delay_ms = 0;
};

// The writes that make up one reply (or one data transfer). A plain string
// is one write; an empty one is no write at all.
struct Writes {
  std::vector<Chunk> chunks;

  Writes() = default;
  Writes(const char* text) : Writes(std::string(text)) {}
  Writes(std::string text);
  Writes(std::initializer_list<Chunk> list) : chunks(list) {}

  // `text` cut into writes of `size` bytes, with `delay_ms` before each but the first.
  static Writes split(const std::string& text, std::size_t size, int delay_ms = 0);
  // `text` as one write after a pause.
  static Writes delayed(int delay_ms, std::string text);
  std::string bytes() const;  // everything, joined
};

// What becomes of the control connection after a step.
enum class Then {
  Auto,      // Close after QUIT, Continue after anything else
  Continue,  // read the next command
  Close,     // end the session with a normal close
  Reset,     // end the session with a reset (SO_LINGER 0)
};

// The data-connection part of a step. The server connects to the address of
// the last PORT (from its own address), unless it already did so at PORT time
// (Script::connect_at_port), or takes the client's connection on the port
// its last passive reply offered. A transfer step without a data part never
// connects: that is how a server that never opens the data connection is
// scripted.
struct Data {
  enum class Kind { None, Send, Receive };
  Kind kind = Kind::None;
  Writes send;                           // Send: the writes, in order
  std::size_t receive_limit = SIZE_MAX;  // Receive: stop after this many bytes
  bool reset = false;                    // end with a reset instead of a close

  // Send `writes`, then close (or reset: a transfer broken off by the server).
  static Data sending(Writes writes, bool reset = false);
  // Record what the client sends until it closes, or until `limit` bytes.
  static Data receiving(std::size_t limit = SIZE_MAX, bool reset = false);
};

// The answer to one command: `reply`, then the data part, then `after` (the
// final reply of a transfer), then `then`.
struct Step {
  std::string verb;  // upper case; "" matches any command
  Writes reply;
  Data data;
  Writes after;
  Then then = Then::Auto;
  bool repeat = false;  // answers every matching command, not just one
  // A transfer the client broke off (its data could not all be sent) gets
  // no `after`: the server says nothing more until the next command, as
  // pure-ftpd does until it hears ABOR.
  bool quiet_when_broken_off = false;
};

// A whole script. Each command is answered by the first unused one-time step
// with its verb (in script order), else by the first repeating step with its
// verb, else with `fallback` (and listed in Record::unscripted). With
// `strict`, a one-time step must be the next unused one: a command that does
// not match it is reported in Record::problems.
struct Script {
  Writes greeting = "220 Scripted FTP server ready.\r\n";
  Then after_greeting = Then::Continue;  // Close or Reset: a server that hangs up at once
  std::vector<Step> steps;
  Writes fallback = "502 Command not implemented.\r\n";
  // Connect the data connection on PORT, as pyftpdlib does, instead of at
  // the transfer command, as vsftpd does.
  bool connect_at_port = false;
  bool strict = false;
  int max_sessions = 0;  // stop listening after this many sessions; 0: until stop()
  // The passive port's queue is kept full, so a connect to it never completes.
  bool passive_never_accepts = false;

  Script& on(std::string verb, Writes reply, Then then = Then::Auto);
  Script& always(std::string verb, Writes reply);
  Script& transfer(std::string verb, Writes preliminary, Data data, Writes final_reply);
  Script& step(Step step);
  // Repeating steps for a willing server: USER 331, PASS 230, PORT 200,
  // EPSV 229 and PASV 227 (a passive port), TYPE 200, CWD 250, PWD 257 "/",
  // ABOR 225 (no transfer left to abort), QUIT 221. One-time steps still win.
  Script& defaults();
};

struct Timeouts {
  int idle_ms = 30000;       // waiting for a command
  int data_ms = 15000;       // each connect, write or read on a data connection; each reply write
  int lifetime_ms = 180000;  // the whole server: it stops listening after that
};

// What the server saw.
struct Record {
  std::vector<std::string> commands;    // every command line, terminator removed, all sessions
  std::string control_bytes;            // the exact bytes received on control connections
  std::vector<std::string> uploads;     // bytes received, one entry per receiving data part
  std::vector<std::string> ports;       // each PORT's "a.b.c.d:port", each EPRT's "[addr]:port"
  int passive_connections = 0;          // data connections taken on a passive port
  std::vector<std::string> unscripted;  // commands answered with the fallback
  std::vector<std::string> problems;    // anything that went wrong on the server's side
  int sessions_started = 0;
  int sessions_ended = 0;
};

class ScriptServer {
 public:
  explicit ScriptServer(Script script, Timeouts timeouts = {});
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  // Listens on `address`:`port` (IPv4 or IPv6; port 0: one the system
  // chooses), or on that port of a loopback address of this process's own
  // when `address` is empty, and starts serving.
  bool start(std::string* error, const std::string& address = "", int port = kFtpPort);
  // Ends the thread and closes every socket; bytes already received are
  // recorded first. Safe to call more than once.
  void stop();

  const std::string& address() const { return address_; }
  int port() const { return port_; }
  // The server as a HOST= value names it: the address alone on port 21,
  // else with its port ("127.0.0.5:2121", "[::1]:40000").
  std::string host() const;
  Record record() const;
  // The command lines, each followed by "\n", with the port numbers of PORT
  // and EPRT replaced by "*" ("PORT 127,0,0,1,*,*", "EPRT |2|::1|*|").
  std::string transcript() const;
  // Waits until `done` holds for the record (checked on every change), at
  // most `timeout_ms`. A failure says what was awaited (`what`) and what the
  // server saw meanwhile.
  testing::AssertionResult wait_until(const std::function<bool(const Record&)>& done,
                                      int timeout_ms, const std::string& what = "") const;
  testing::AssertionResult wait_sessions_ended(int count, int timeout_ms) const;

 private:
  struct Session;
  void run();
  void serve(Session& session);
  const Step* match(const std::string& verb, const std::string& line);
  void handle_port(Session& session, const std::string& line);
  void handle_eprt(Session& session, const std::string& line);
  // False when the data could not all be sent (the client broke it off).
  bool transfer_data(Session& session, const Data& data);
  bool connect_data(Session& session);
  bool offer_passive(Session& session, Writes* reply);
  bool accept_passive(Session& session);
  bool write(int fd, const Writes& writes);
  void drain(Session& session);
  bool next_line(Session& session, std::string* line);
  void note(std::function<void(Record&)> change);
  void problem(const std::string& text);

  Script script_;
  Timeouts timeouts_;
  std::vector<bool> used_;
  std::string address_;
  int port_ = 0;
  Fd listener_;
  Fd stop_read_, stop_write_;
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Record record_;
};

// Masks the port numbers of a PORT or EPRT command line, as transcript() does.
std::string mask_port(const std::string& line);

}  // namespace ftptest
