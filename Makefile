# The two commands a newcomer needs:
#   make run    install what is missing, build, start a local quillet-server if none runs, open the client
#   make test   install what is missing, build, run every test
.PHONY: all deps configure build test run clean

BUILD_DIR := build/default
PORT      ?= 2727
SERVER_LOG := $(BUILD_DIR)/quillet-server.log

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake --preset default >/dev/null

build: configure
	@cmake --build --preset default

test: build
	@ctest --preset default

run: build
	@scripts/run-local.sh "$(BUILD_DIR)" "$(PORT)" "$(SERVER_LOG)"

clean:
	rm -rf build
