// The host's event services as the reference host offers them: events that
// the module clears, posts and waits for, descriptors registered so that
// their readiness posts an event, the task states pushed around a wait (each
// naming the break routine to run), and break delivery.
//
// A wait (wtgwait) ends when one of its events is posted -- by a registered
// descriptor becoming readable, or by wtgpost, also from a break routine --
// or when the idle limit passes. A break requested while a break routine is
// pushed is delivered inside the wait (or by wtpoll): the host runs the
// routine on the waiting task; a routine that does not post the event (a
// declined break) leaves the wait running. A break requested while no
// routine is pushed stays pending until the next wait that pushes one.
#pragma once

namespace host::events {

// Asks for a break. Safe from any thread and from a signal handler: it sets a
// flag and writes one byte to the host's wake-up pipe.
void request_break();
// Forgets a break that was requested and not yet delivered.
void cancel_break();
bool break_pending();
// Break routines the host has run so far.
int breaks_delivered();
// Event waits (wtgwait) the module has made so far.
long waits();

// Seconds after which a wait with nothing posted ends. 0 (the default): the
// host option XXAMWAIT when it holds a positive number, otherwise no limit;
// a negative value: no limit whatever the options say.
void set_idle_limit(int seconds);
// The limit now in effect, in seconds; 0 = none.
int idle_limit();

// Makes SIGINT (Ctrl-C) request a break.
void install_interrupt_handler();

// Descriptors registered and not yet cleared; task states pushed and not yet
// popped. Both are 0 between waits.
int registered_descriptors();
int pushed_states();

}  // namespace host::events
