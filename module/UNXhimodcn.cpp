// Module initialisation hook, called by mcn_main once after loading. The
// module needs no start-up work: all its state starts zero.
extern "C" void himodcn() {}
