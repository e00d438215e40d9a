# The two commands a new user needs: `make demo` and `make test`.
# Both install what is missing first (Debian 12, as root or through sudo).

SHELL := /bin/bash
JOBS  ?= $(shell nproc)
BUILD ?= build

# Everything the build, the tests and the demo need from Debian: the compiler and CMake,
# the hosts' development files (OpenSSL 3, SQLite, Qt 5 with its QML tools and test
# module), GoogleTest and Google Benchmark, the PostgreSQL clients (pgbench comes with
# the server package), python3 with psycopg, asyncpg and SQLAlchemy over psycopg2, Java
# with the JDBC driver, Go with pgx, and dpkg-dev and lintian for the package checks.
PACKAGES := build-essential cmake pkg-config dpkg-dev lintian \
	libssl-dev openssl \
	libsqlite3-dev libreadline-dev \
	libgtest-dev libbenchmark-dev \
	qtbase5-dev qtdeclarative5-dev qtdeclarative5-dev-tools \
	qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qttest qml \
	postgresql-client libpq-dev postgresql python3 python3-psycopg python3-asyncpg \
	python3-psycopg2 python3-sqlalchemy \
	default-jdk-headless libpostgresql-jdbc-java golang-go golang-github-jackc-pgx-v4-dev

# Where `make install` puts things (the engine and the QML module go where OpenSSL and Qt
# look for them); DESTDIR stages the whole tree elsewhere.
PREFIX  ?= /usr/local
DESTDIR ?=

.PHONY: all deps build test test-asan test-tsan demo install package screenshot bench fuzz soak clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests again, instrumented.
test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined -DBUILD_BENCHMARKS=OFF
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# Tests of code with threads, under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread -DBUILD_BENCHMARKS=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L threads

# Coverage-guided fuzzing (clang's libFuzzer) of the parsers of untrusted input, in a
# build of its own; each target runs FUZZ_SECONDS from its seeds and a fault fails.
FUZZ_SECONDS ?= 60
fuzz: deps
	@$(MAKE) --no-print-directory deps PACKAGES="clang libclang-rt-14-dev"
	cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j $(JOBS)
	./fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Only what the demo runs, built quietly (the build's output goes to a log).
DEMO_TARGETS := quendrix cryptoapi-admin capi zephyn-models-component-plugin
demo: deps
	@mkdir -p $(BUILD)
	@echo "Building the demo's programs into $(BUILD)/ (log: $(BUILD)/demo-build.log)"
	@{ cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo && \
	   cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS) -- --no-print-directory; \
	 } > $(BUILD)/demo-build.log 2>&1 || { cat $(BUILD)/demo-build.log; exit 1; }
	@./demo/run.sh $(BUILD)

# The install rules depend on the prefix (run paths), so the build is configured for it.
install: build
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)

# Debian packages (one per deliverable and per stand-in) into $(BUILD)/packages/.
package: build
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=/usr
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && cpack
	@ls $(BUILD)/packages/*.deb

# The picture of the models demo in docs/, drawn in a real window on a virtual X screen.
screenshot: build
	@$(MAKE) --no-print-directory deps PACKAGES="xvfb xauth"
	./demo/screenshot.sh $(BUILD)

# PostgreSQL's server and psycopg are the front-end benchmark's anchor and its
# connection holder; only the benchmarks need them.
bench: build
	@$(MAKE) --no-print-directory deps PACKAGES="postgresql python3-psycopg"
	./bench/run.sh $(BUILD)

# A minute of mixed load on the network listener, then its checks and figures.
SOAK_SECONDS ?= 60
soak: build
	python3 server-extension/tests/listener_soak.py $(BUILD)/bin/quendrix --seconds $(SOAK_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz
