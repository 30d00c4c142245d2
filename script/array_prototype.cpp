#include "script/array_prototype.h"

#include <string.h>

#include "common/error_codes.h"
#include "dirbase/any.h"
#include "dirbase/string_builder.h"
#include "io/utf8.h"
#include "script/builtin_args.h"
#include "script/operators.h"
#include "script/parser.h"

using namespace script_builtin;

// isArray 1, of 2, concat 3, includes 7, slice 76, join 77.
const int AnyArrayPrototype::kMemberIds[] = {1, 2, 3, 7, 76, 77, 0};

namespace {

// The longest separator join uses, in characters (a longer one is cut
// after that many whole characters).
const int kMaxSeparator = 79;

AnyArray* arrayOf(const Any* v) {
    if (v == nullptr || v->isEncoded()) return nullptr;
    Translatable* t = v->getReferenced();
    return t != nullptr && t->getObjectID() == OBJ_ANYARRAY_ID ? dynamic_cast<AnyArray*>(t) : nullptr;
}

// A copy of an element for a new array that shares its objects.
Any* share(const Any* element) {
    return element != nullptr ? element->createReferenceOrCopy() : nullptr;
}

// Bytes of text a new array sharing a's elements from begin to end copies:
// a string element is a value, not shared, so the new array holds a copy of
// its text.
long long copiedText(AnyArray* a, long long begin, long long end) {
    long long bytes = 0;
    for (long long i = begin; i < end; i++) {
        const Any* e = a->get(static_cast<int>(i));
        if (isText(e) && e->getString() != nullptr) bytes += static_cast<long long>(strlen(e->getString()));
    }
    return bytes;
}

// Whether a method may copy text bytes at once: no more than the run may
// grow by. What it copies counts toward the run's next look at the memory.
bool mayCopy(Parser* parser, long long text, long long elements) {
    long long allowance = parser != nullptr ? parser->memoryAllowance() : Parser::kDefaultMemoryAllowance;
    if (text > allowance) return false;
    long long values = elements * static_cast<long long>(sizeof(Any) + sizeof(Any*));
    if (parser != nullptr) parser->noteBuilt(static_cast<size_t>(text + values));
    return true;
}

// Reserves exactly n slots of a new, empty array; null when the memory
// cannot be had.
AnyArray* newArray(int n) {
    Any** elements = nullptr;
    if (n > 0 && (elements = static_cast<Any**>(calloc(static_cast<size_t>(n), sizeof(Any*)))) == nullptr)
        return nullptr;
    AnyArray* a = new AnyArray();
    a->elements = elements;
    a->count = n;
    return a;
}

int of(Parser* parser, Any** args, Any** result) {
    long long n = 0;
    int rc = argInt64(args, 0, true, &n);
    if (rc != 0) return rc;
    if (n < 0) return DirError::E_ILLEGAL_ARGUMENT;
    if (n > AnyArrayPrototype::kMaxElements) return DirError::E_NO_RESOURCE;
    AnyArray* array = newArray(static_cast<int>(n));
    if (array == nullptr) return DirError::E_NO_RESOURCE;
    // The empty slots are written page by page: fresh pages from calloc
    // become resident only when touched, and the run's memory check reads
    // the resident size, so a script keeping large reservations would hold
    // them unseen. Volatile, or the stores of zeros calloc made go.
    volatile char* bytes = reinterpret_cast<volatile char*>(array->elements);
    const size_t size = static_cast<size_t>(n) * sizeof(Any*);
    for (size_t at = 0; at < size; at += 4096) bytes[at] = 0;
    noteNewArray(parser, array);
    *result = newReference(array);
    return 0;
}

int slice(Parser* parser, AnyArray* self, Any** args, Any** result) {
    long long start = 0, end;
    int rc = argInt64(args, 0, true, &start);
    if (rc != 0) return rc;
    long long length = self->size();
    end = length;
    rc = argInt64(args, 1, false, &end);
    if (rc != 0) return rc;
    if (start < 0) start += length;
    if (end < 0) end += length;
    if (end > length) end = length;
    if (start < 0 || start >= length || end < start) {
        *result = newReference(new AnyArray());
        return 0;
    }
    if (!mayCopy(parser, copiedText(self, start, end), end - start)) return DirError::E_NO_RESOURCE;
    AnyArray* out = newArray(static_cast<int>(end - start));
    if (out == nullptr) return DirError::E_NO_RESOURCE;
    for (long long i = start; i < end; i++) out->elements[i - start] = share(self->get(static_cast<int>(i)));
    *result = newReference(out);
    return 0;
}

int join(Parser* parser, AnyArray* self, Any** args, Any** result) {
    TextArg given;
    const char* separator = ",";
    size_t separatorLength = 1;
    if (arg(args, 0) != nullptr) {
        int rc = given.read(parser, arg(args, 0));
        if (rc != 0) return rc;
        separator = given.text;
        separatorLength = given.length;
        // Fewer bytes than the limit are fewer characters too.
        if (separatorLength > static_cast<size_t>(kMaxSeparator))
            separatorLength = static_cast<size_t>(u8_offset(separator, kMaxSeparator));
    }
    TextBuffer out;
    for (int i = 0; i < self->size(); i++) {
        if (i > 0) out.append(separator, separatorLength);
        const Any* e = self->get(i);
        if (e == nullptr) {
            out.append("undefined", 9);
        } else if (isText(e)) {
            if (e->getString() != nullptr) out.append(e->getString());
        } else {
            char* text = nullptr;
            int rc = plainTextOf(parser, *e, &text);
            if (rc != 0) return rc;
            out.append(text);
            free(text);
        }
        if (out.length() > kMaxStringBytes) return DirError::E_NO_RESOURCE;
    }
    *result = adoptText(out.take());
    return 0;
}

int concat(Parser* parser, AnyArray* self, Any** args, Any** result) {
    long long total = self->size(), text = copiedText(self, 0, self->size());
    int n = argCount(args);
    for (int i = 0; i < n; i++) {
        AnyArray* other = arrayOf(args[i]);
        if (other == nullptr) return DirError::E_NOT_CONVERTIBLE;
        total += other->size();
        if (total > AnyArrayPrototype::kMaxElements) return DirError::E_NO_RESOURCE;
        text += copiedText(other, 0, other->size());
    }
    if (total > AnyArrayPrototype::kMaxElements || !mayCopy(parser, text, total)) return DirError::E_NO_RESOURCE;
    AnyArray* out = newArray(static_cast<int>(total));
    if (out == nullptr) return DirError::E_NO_RESOURCE;
    int at = 0;
    for (int i = 0; i < self->size(); i++) out->elements[at++] = share(self->get(i));
    for (int k = 0; k < n; k++) {
        AnyArray* other = arrayOf(args[k]);
        for (int i = 0; i < other->size(); i++) out->elements[at++] = share(other->get(i));
    }
    *result = newReference(out);
    return 0;
}

int includes(AnyArray* self, Any** args, Any** result) {
    Any* value = arg(args, 0);
    if (value == nullptr) return DirError::E_MISSING_ARGUMENTS;
    long long from = 0;
    int rc = argInt64(args, 1, false, &from);
    if (rc != 0) return rc;
    if (from < 0) from = 0;
    bool found = false;
    for (long long i = from; i < self->size() && !found; i++) {
        const Any* e = self->get(static_cast<int>(i));
        found = e != nullptr && *e == *value;
    }
    *result = new Any(found);
    return 0;
}

}  // namespace

int AnyArrayPrototype::callMemberFn(Parser* parser, Any** result, Translatable* self, const char* name,
                                    Any** args) {
    *result = nullptr;
    AnyArray* array = self != nullptr && self != this && self->getObjectID() == OBJ_ANYARRAY_ID
                          ? dynamic_cast<AnyArray*>(self)
                          : nullptr;
    bool onClass = self == this;
    if (name != nullptr && (array != nullptr || onClass)) {
        if (strcmp(name, "isArray") == 0) {
            if (array != nullptr) {
                *result = new Any(true);
                return 0;
            }
            Any* v = arg(args, 0);
            if (v == nullptr) return DirError::E_MISSING_ARGUMENTS;
            *result = new Any(arrayOf(v) != nullptr);
            return 0;
        }
        if (strcmp(name, "of") == 0) return of(parser, args, result);
    }
    if (array != nullptr && name != nullptr) {
        if (strcmp(name, "slice") == 0) return slice(parser, array, args, result);
        if (strcmp(name, "join") == 0) return join(parser, array, args, result);
        if (strcmp(name, "concat") == 0) return concat(parser, array, args, result);
        if (strcmp(name, "includes") == 0) return includes(array, args, result);
    }
    return Translatable::callMemberFn(parser, result, self, name, args);
}

char* AnyArrayPrototype::toString(Parser*) {
    return strdup("[class AnyArray]");
}
