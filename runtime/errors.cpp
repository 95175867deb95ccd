#include "runtime/errors.h"

namespace {
Handler currentHandler = Handler::none;
int lastError = 0;
}  // namespace

void installHandler(Handler handler) { currentHandler = handler; }

Handler handlerInForce() { return currentHandler; }

void resetErrorState() {
    currentHandler = Handler::none;
    lastError = 0;
}

int lastErrorNumber() { return lastError; }

void raiseError(int number) {
    lastError = number;
    if (number >= fatalErrorFloor) endProcess(255, EndKind::fatal);
    if (currentHandler == Handler::none) return;  // dropped
    throw ErrorJump{number, currentHandler};
}

void raiseOutOfMemory() {
    constexpr int outOfMemory = 7;
    lastError = outOfMemory;
    if (currentHandler == Handler::none) throw std::bad_alloc();
    throw ErrorJump{outOfMemory, currentHandler};
}

void endProcess(int exitCode, EndKind kind) { throw RunEnd{exitCode, kind}; }
