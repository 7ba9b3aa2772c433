// Ctrl-C and the questions asked on the terminal. Ctrl-C while the module
// waits for the server asks whether to interrupt the wait (the host delivers
// a break, the module asks its question through the host's responder).
#pragma once

namespace cli {

// Makes the terminal answer the module's questions and Ctrl-C request a
// break:
// - a Ctrl-C while a break is still waiting to be delivered (nothing waits
//   for the server) ends the program;
// - a Ctrl-C at a question or prompt ends it too; at the break question it
//   counts as "yes", so the files still end in order;
// - without a terminal nobody can be asked, and the break question counts as
//   "yes": a SIGINT from another program interrupts the wait.
void install_interrupt_handling();

// The user has confirmed interrupting a wait for the server. From then on the
// files still open are ended without waiting for the server's replies: a
// server that stalled would otherwise keep the program waiting in close.
bool user_interrupted();

// A SIGINT has come since the program started (whether or not a wait was
// interrupted by it): a transfer that runs without waiting checks this.
bool interrupt_requested();

}  // namespace cli
