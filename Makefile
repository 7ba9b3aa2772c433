# Convenience targets; each one is a script of its own.
.PHONY: demo test bench build

# Set up, build, start an FTP server with example files and show ftpam at work.
demo:
	tools/demo.sh

# Set up, build and run the whole test suite (what CI runs).
test:
	bash .ci/run

# Throughput and per-record cost side by side with other FTP clients.
bench:
	bench/run.sh

build:
	tools/setup.sh
	cmake --preset default
	cmake --build --preset default
