// Shared by the fuzz targets: the module loaded through the reference host,
// a check that an input leaves no pool block, descriptor or wait state
// behind (LeakSanitizer does not work for i386 programs under qemu, so the
// host's own accounting stands in for it), a loopback peer on port 21 that
// plays the server's side of a control connection, and a small reader of the
// fuzz input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct FtpOptions;

namespace fuzz {

// Loads the module (once) and bounds every wait of the module; aborts when
// the module cannot be loaded.
void start();

// Aborts with `what` when the condition does not hold, so that libFuzzer
// records the input.
void require(bool condition, const char* what);

// The pool blocks and descriptors in use when it is made; check() aborts when
// an input has left more (or fewer) behind. It also clears the host's message
// log and failure texts, which would otherwise grow input after input.
class Baseline {
 public:
  Baseline();
  void check() const;

 private:
  int blocks_;
  int descriptors_;
};

// Points HOME at a new empty directory, removed (with a .netrc in it) at
// exit, and returns its path.
std::string private_home();

// Gives an option block made by the module's option parser back (null: none).
void release_options(FtpOptions* block);

// Descriptors now open in the process.
int open_descriptors();

// The bytes of a fuzz input, taken from the front.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  // The next byte, 0 once the input has run out.
  uint8_t byte();
  // The next two bytes, high byte first.
  uint16_t word();
  // What is left of the input.
  std::string rest();
  // Up to the next '\n' (dropped) or the end, at most `limit` bytes.
  std::string line(size_t limit);

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// The server's side of control connections: listens on port 21 of a
// loopback address of the process's own and serves one connection per session as told. Every
// session reads what the module sends until the module closes its end, so
// that the module never sees a reset it did not cause.
class ControlPeer {
 public:
  ControlPeer();
  ~ControlPeer();
  ControlPeer(const ControlPeer&) = delete;
  ControlPeer& operator=(const ControlPeer&) = delete;

  const std::string& address() const { return address_; }

  // The next connection receives `bytes` at once, then end of data.
  void send_all(std::string bytes);
  // The next connection receives answer("") as greeting and answer(line) for
  // every command line (without its CR LF) the module sends.
  void answer(std::function<std::string(const std::string&)> answer);
  // Waits (bounded) until the session told last has ended, when a connection
  // took it; forgets it when none did.
  void finish();

 private:
  struct State;
  void run();
  State* state_;
  std::string address_;
};

}  // namespace fuzz
