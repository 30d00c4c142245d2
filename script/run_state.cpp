// The Parser's run state: scope frames, the pending return value, the
// recorded error with its traceback, and the run limits.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>

#include "common/error_codes.h"
#include "common/properties.h"
#include "script/location.h"
#include "script/parser.h"
#include "script/stack_limit.h"
#include "script/varset.h"

// A runaway script ends with an error instead of holding its thread: the
// budget counts the statements, loop turns and calls of one run.
static const int kDefaultMaxSteps = 100000000;
// Each script call nests a dozen C++ frames or more; the stack actually
// used is bounded apart from this (roomToNest), so that long expressions
// inside deep calls, or a thread with a small stack, end with the same
// error instead of overflowing.
static const int kDefaultMaxDepth = 400;
// A script that keeps what it builds (a million copies of a long text, an
// array that holds itself twice over and over) would take the process's
// memory long before its step budget ran out.
static const int kDefaultMaxMemoryMb = static_cast<int>(Parser::kDefaultMemoryAllowance >> 20);

namespace {

// The process's resident size in bytes, or -1 when it cannot be read.
long long residentBytes() {
    int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[128];
    ssize_t n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0) return -1;
    text[n] = '\0';
    unsigned long long size = 0, resident = 0;
    if (sscanf(text, "%llu %llu", &size, &resident) != 2) return -1;
    return static_cast<long long>(resident) * sysconf(_SC_PAGESIZE);
}

}  // namespace

void Parser::releaseRunState() {
    endRun();
    delete _rootScope;
    _rootScope = nullptr;
    delete _currentScope;
    _currentScope = nullptr;
    delete _switchValue;
    _switchValue = nullptr;
    delete _returnValue;
    _returnValue = nullptr;
}

uint64_t Parser::newRunId() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

void Parser::setLimits(long long maxSteps, int maxDepth) {
    _stepsOverride = maxSteps;
    _depthOverride = maxDepth;
}

void Parser::startRun(const Principal* principal, const ObjRef* root) {
    endRun();
    _runId = newRunId();
    _principal = principal;
    Translatable* given = root != nullptr && root->get() != nullptr ? root->get()
                          : _rootScope != nullptr                   ? _rootScope->get()
                                                                    : nullptr;
    AbstractVarSet* scope = given != nullptr ? dynamic_cast<AbstractVarSet*>(given) : nullptr;
    if (scope == nullptr) scope = new VarSet(nullptr, AbstractVarSet::FUNCTION);
    ObjRef::addRef(scope);
    ObjRef::addRef(scope);
    _root = scope;
    _current = scope;
    _scopeMarks.clear();
    _flowFlags = 0;
    delete _switchValue;
    _switchValue = nullptr;
    // A value an earlier run left pending (a return outside any function)
    // is that run's: the host may still take it between runs, but a function
    // of this run that runs no return must not answer with it.
    delete _returnValue;
    _returnValue = nullptr;
    _steps = 0;
    _callDepth = 0;
    _stackFloor = script_stack::floor();
    _maxSteps = _stepsOverride > 0 ? _stepsOverride : s_getIntProperty("script_max_steps", kDefaultMaxSteps);
    _maxDepth = _depthOverride > 0 ? _depthOverride : s_getIntProperty("script_max_depth", kDefaultMaxDepth);
    if (_maxSteps <= 0) _maxSteps = kDefaultMaxSteps;
    if (_maxDepth <= 0) _maxDepth = kDefaultMaxDepth;
    _maxGrowth = _memoryOverride;
    if (_maxGrowth <= 0) {
        int mb = s_getIntProperty("script_max_memory_mb", kDefaultMaxMemoryMb);
        _maxGrowth = static_cast<long long>(mb > 0 ? mb : kDefaultMaxMemoryMb) << 20;
    }
    _residentAtStart = -1;
    _builtSinceCheck = 0;
    _stepLimit = std::min(_maxSteps, kMemoryCheckSteps);
}

void Parser::endRun() {
    _runId = newRunId();
    _stackFloor = 0;
    _scopeMarks.clear();
    for (VarSet* frame : _framePool) ObjRef::release(frame);
    _framePool.clear();
    ObjRef::release(_current);
    ObjRef::release(_root);
    _current = nullptr;
    _root = nullptr;
}

void Parser::pushFunctionFrame(int kind) {
    pushFrame(kind);
    _scopeMarks.push_back(1);
}

void Parser::pushFrame(int kind) {
    VarSet* scope;
    if (!_framePool.empty()) {
        // A recycled frame already holds its one count; the parser's count
        // on the current frame passes to it as its parent.
        scope = _framePool.back();
        _framePool.pop_back();
        scope->reuse(_current, kind);
    } else {
        scope = new VarSet(_current, kind);
        ObjRef::addRef(scope);
        ObjRef::release(_current);
    }
    _current = scope;
}

void Parser::popFrame() {
    if (!_scopeMarks.empty()) {
        char made = _scopeMarks.back();
        _scopeMarks.pop_back();
        if (made == 0) return;
    }
    if (_current == nullptr || _current == _root) return;
    VarSet* frame = _current->asVarSet();
    // A frame nobody else holds is kept for the next push; the parser's
    // count (the only one, so no other thread can be changing it) stays
    // on it, and the frame's count on its parent becomes the parser's.
    if (frame != nullptr && frame->recyclable() && _framePool.size() < kFramePoolSize) {
        _current = frame->recycle();
        _framePool.push_back(frame);
        return;
    }
    // The frame leaves the chain (it may live on elsewhere).
    if (frame != nullptr) frame->touchNames();
    AbstractVarSet* parent = _current->getParent();
    ObjRef::addRef(parent);
    ObjRef::release(_current);
    _current = parent;
}

void Parser::popAll() {
    _scopeMarks.clear();
    while (_current != nullptr && _current != _root) {
        if (VarSet* frame = _current->asVarSet()) frame->touchNames();
        AbstractVarSet* parent = _current->getParent();
        ObjRef::addRef(parent);
        ObjRef::release(_current);
        _current = parent;
    }
}

int Parser::define(const char* name, Any* value, int kind) {
    return define(name, VarSet::nameHash(name), value, kind);
}

int Parser::define(const char* name, uint32_t hash, Any* value, int kind) {
    if (value == nullptr) value = Any::makeUndefined();
    if (kind == 1 && !_scopeMarks.empty() && _scopeMarks.back() == 0) {
        // The block frame this let belongs to is made now.
        pushFrame(AbstractVarSet::BLOCK);
        _scopeMarks.back() = 1;
    }
    AbstractVarSet* scope = _current;
    if (kind != 1) {
        while (scope != nullptr && scope->getKind() != AbstractVarSet::FUNCTION) scope = scope->getParent();
    }
    if (scope == nullptr) {
        delete value;
        return DirError::E_NO_STACK_FRAME;
    }
    VarSet* vs = scope->asVarSet();
    bool ok = vs != nullptr ? vs->define(name, hash, value) : scope->define(name, value);
    return ok ? 0 : DirError::E_PERMISSION_DENIED;
}

void Parser::setReturnValue(Any* value) {
    delete _returnValue;
    _returnValue = value;
}

Any* Parser::getReturnValue() {
    Any* v = _returnValue;
    _returnValue = nullptr;
    return v;
}

Location** Parser::getTraceback(AstNode* node) {
    size_t n = 1;
    for (AbstractVarSet* s = _current; s != nullptr && s != _root; s = s->getParent())
        if (s->getLocation() != nullptr) n++;
    Location** tb = new Location*[n + 1]();
    // The function name of the frame that a location belongs to: the
    // nearest frame from s outwards that has one.
    auto frameName = [this](AbstractVarSet* s) -> const char* {
        for (; s != nullptr && s != _root; s = s->getParent())
            if (s->getFunctionName() != nullptr) return s->getFunctionName();
        return nullptr;
    };
    const Location* at = node != nullptr ? node->location : nullptr;
    tb[0] = at != nullptr ? new Location(*at) : _t1.getLocation(this);
    tb[0]->setFunctionName(frameName(_current));
    size_t i = 1;
    for (AbstractVarSet* s = _current; s != nullptr && s != _root; s = s->getParent()) {
        if (s->getLocation() == nullptr) continue;
        Location* l = new Location(*s->getLocation());
        l->setFunctionName(frameName(s->getParent()));
        tb[i++] = l;
    }
    return tb;
}

void Parser::throwError(const Error* error) {
    _errorFlag = true;
    if (_error == nullptr && error != nullptr) _error = new Error(*error);
}

void Parser::throwErrorCode(AstNode* node, Error::Type type, int code) {
    _errorFlag = true;
    if (_error != nullptr) return;
    _error = new Error(type, code, nullptr, getTraceback(node));
}

void Parser::recover() {
    delete _error;
    _error = nullptr;
    _errorFlag = false;
}

bool Parser::stepLimitReached(AstNode* node) {
    if (_steps > _maxSteps) return stepBudgetSpent(node);
    long long resident = residentBytes();
    if (resident >= 0) {
        // The first look sets the base: growth before it is at most a
        // check's worth.
        if (_residentAtStart < 0) _residentAtStart = resident;
        if (resident - _residentAtStart > _maxGrowth) {
            // RangeError 39 as for the step budget: the run holds more
            // memory than one run may.
            _steps = _maxSteps;
            _stepLimit = _maxSteps;
            throwErrorCode(node, Error::RangeError, DirError::E_NO_RESOURCE);
            return false;
        }
    }
    _builtSinceCheck = 0;
    _stepLimit = std::min(_maxSteps, _steps + kMemoryCheckSteps);
    return true;
}

bool Parser::stepBudgetSpent(AstNode* node) {
    // Every later step fails too, so the run unwinds without more work.
    _steps = _maxSteps;
    _stepLimit = _maxSteps;
    // RangeError 39 ("System resource not available"): the run has used up
    // its step budget (a runaway loop, or more work than one run may do).
    throwErrorCode(node, Error::RangeError, DirError::E_NO_RESOURCE);
    return false;
}

bool Parser::enterCall(AstNode* node) {
    if (_callDepth >= _maxDepth) {
        // RangeError 39 as for the step budget: calls nested too deep.
        throwErrorCode(node, Error::RangeError, DirError::E_NO_RESOURCE);
        return false;
    }
    _callDepth++;
    return true;
}

bool Parser::stackSpent(AstNode* node) {
    // The same answer as calls nested too deep: the script nests deeper
    // than the thread's stack allows.
    throwErrorCode(node, Error::RangeError, DirError::E_NO_RESOURCE);
    return false;
}
