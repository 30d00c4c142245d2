// The tagged object encoding side by side with msgpack-c on the same values:
//   (a) an attribute set of 20 mixed entries,
//   (b) an array of 1,000 int64 values,
//   (c) one 1 MiB byte block.
// Encoding starts from the record and ends with the bytes; decoding starts
// from the bytes and ends with the record (an Attributes or an AnyArray), so
// the msgpack side builds the same objects from what it unpacked. msgpack
// writes each value in its own self-describing form (its type byte standing
// for our kind); our encoding also carries field numbers, object headers and
// the hints.
//
// Each case runs 9 times, ours and msgpack's repetitions interleaved at
// random so that a busy machine weighs on both alike; the summary gives the
// medians of the CPU time per operation side by side, ours as a multiple of
// msgpack's, and the bytes each puts on the wire for the same record.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <msgpack.h>

#include "bench/bench_support.h"
#include "common/log.h"
#include "dir/directory.h"
#include "dirbase/any.h"
#include "dirbase/attributes.h"
#include "dirbase/message.h"

namespace {

const int kEntries = 20;
const int kArrayLength = 1000;
const size_t kBlock = 1 << 20;

Attributes* makeAttributes() {
    Attributes* a = new Attributes();
    for (int i = 0; i < kEntries; i++) {
        char name[32];
        snprintf(name, sizeof(name), "attribute%02d", i);
        switch (i % 5) {
        case 0: a->setAttribute(name, i * 1000); break;
        case 1: a->setAttribute(name, (1LL << 40) + i); break;
        case 2: a->setAttribute(name, i * 0.25); break;
        case 3: a->setAttribute(name, i % 2 == 0); break;
        default: a->setAttribute(name, "a short text value"); break;
        }
    }
    return a;
}

AnyArray* makeArray() {
    AnyArray* array = new AnyArray();
    array->elements = static_cast<Any**>(malloc(sizeof(Any*) * kArrayLength));
    array->count = kArrayLength;
    for (int i = 0; i < kArrayLength; i++) array->elements[i] = new Any(static_cast<long long>(i) * 7919 - 3000000);
    return array;
}

// --- our encoding --------------------------------------------------------

std::string encodeOurs(unsigned int id, const Translatable* obj) {
    Message m(0);
    m.writeObject(id, obj);
    size_t n;
    unsigned char* bytes = m.copyBytes(&n);
    std::string out(reinterpret_cast<char*>(bytes) + 9, n - 9);
    free(bytes);
    return out;
}

void encodeOursBench(benchmark::State& state, unsigned int id, const Translatable* obj) {
    for (auto _ : state) {
        Message m(0);
        m.writeObject(id, obj);
        benchmark::DoNotOptimize(m.totalBytes());
    }
    state.counters["bytes"] = static_cast<double>(encodeOurs(id, obj).size());
}

void decodeOursBench(benchmark::State& state, unsigned int id, const std::string& bytes) {
    for (auto _ : state) {
        Message m(bytes.data(), bytes.size());
        Translatable* obj = nullptr;
        if (m.readObject(id, &obj) != 0 || obj == nullptr) state.SkipWithError("decode failed");
        delete obj;
    }
}

void BM_Attributes_Encode_Ours(benchmark::State& state) {
    Attributes* a = makeAttributes();
    encodeOursBench(state, OBJ_ATTRIBUTES_ID, a);
    delete a;
}

void BM_Attributes_Decode_Ours(benchmark::State& state) {
    Attributes* a = makeAttributes();
    std::string bytes = encodeOurs(OBJ_ATTRIBUTES_ID, a);
    delete a;
    decodeOursBench(state, OBJ_ATTRIBUTES_ID, bytes);
}

void BM_Array_Encode_Ours(benchmark::State& state) {
    AnyArray* array = makeArray();
    encodeOursBench(state, OBJ_ANYARRAY_ID, array);
    delete array;
}

void BM_Array_Decode_Ours(benchmark::State& state) {
    AnyArray* array = makeArray();
    std::string bytes = encodeOurs(OBJ_ANYARRAY_ID, array);
    delete array;
    decodeOursBench(state, OBJ_ANYARRAY_ID, bytes);
}

void BM_Block_Encode_Ours(benchmark::State& state) {
    std::vector<char> block(kBlock, 'b');
    size_t wire = 0;
    for (auto _ : state) {
        Message m(0);
        m.writeBytes(block.data(), static_cast<uint32_t>(block.size()));
        wire = m.totalBytes() - 9;  // without the frame header
        benchmark::DoNotOptimize(wire);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBlock));
    state.counters["bytes"] = static_cast<double>(wire);
}

void BM_Block_Decode_Ours(benchmark::State& state) {
    std::vector<char> block(kBlock, 'b');
    Message out(0);
    out.writeBytes(block.data(), static_cast<uint32_t>(block.size()));
    size_t n;
    unsigned char* bytes = out.copyBytes(&n);
    for (auto _ : state) {
        Message m(reinterpret_cast<char*>(bytes) + 9, n - 9);
        unsigned char* data;
        uint32_t length;
        if (m.readBytes(&data, &length) != 0 || length != kBlock) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(data);
        free(data);
    }
    free(bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBlock));
}

// --- msgpack-c -----------------------------------------------------------

void packAny(msgpack_packer* pk, const Any* v) {
    switch (v->getType()) {
    case ANY_BOOLEAN: v->getBool() ? msgpack_pack_true(pk) : msgpack_pack_false(pk); break;
    case ANY_INT32: msgpack_pack_int32(pk, v->getInt32()); break;
    case ANY_INT64: msgpack_pack_int64(pk, v->getInt64()); break;
    case ANY_DOUBLE: msgpack_pack_double(pk, v->getDouble()); break;
    case ANY_STRING: {
        const char* s = v->getString();
        size_t n = strlen(s);
        msgpack_pack_str(pk, n);
        msgpack_pack_str_body(pk, s, n);
        break;
    }
    default: msgpack_pack_nil(pk); break;
    }
}

Any* unpackAny(const msgpack_object& o) {
    switch (o.type) {
    case MSGPACK_OBJECT_BOOLEAN: return new Any(o.via.boolean);
    case MSGPACK_OBJECT_POSITIVE_INTEGER:
    case MSGPACK_OBJECT_NEGATIVE_INTEGER: {
        int64_t v = o.via.i64;
        if (v >= INT32_MIN && v <= INT32_MAX) return new Any(static_cast<int>(v));
        return new Any(static_cast<long long>(v));
    }
    case MSGPACK_OBJECT_FLOAT64: return new Any(o.via.f64);
    case MSGPACK_OBJECT_STR: {
        std::string s(o.via.str.ptr, o.via.str.size);
        return new Any(s.c_str());
    }
    default: return new Any();
    }
}

void packAttributes(msgpack_packer* pk, const Attributes* a) {
    msgpack_pack_map(pk, static_cast<size_t>(a->size()));
    for (const Attributes::AttrList* e = a->head; e != nullptr; e = e->next) {
        size_t n = strlen(e->name);
        msgpack_pack_str(pk, n);
        msgpack_pack_str_body(pk, e->name, n);
        packAny(pk, e->getValue());
    }
}

std::string packed(void (*pack)(msgpack_packer*, const void*), const void* obj) {
    msgpack_sbuffer sbuf;
    msgpack_sbuffer_init(&sbuf);
    msgpack_packer pk;
    msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
    pack(&pk, obj);
    std::string out(sbuf.data, sbuf.size);
    msgpack_sbuffer_destroy(&sbuf);
    return out;
}

void packAttributesFn(msgpack_packer* pk, const void* obj) {
    packAttributes(pk, static_cast<const Attributes*>(obj));
}

void packArrayFn(msgpack_packer* pk, const void* obj) {
    const AnyArray* array = static_cast<const AnyArray*>(obj);
    msgpack_pack_array(pk, static_cast<size_t>(array->count));
    for (int i = 0; i < array->count; i++) msgpack_pack_int64(pk, array->elements[i]->getInt64());
}

void encodeMsgpackBench(benchmark::State& state, void (*pack)(msgpack_packer*, const void*), const void* obj) {
    for (auto _ : state) {
        msgpack_sbuffer sbuf;
        msgpack_sbuffer_init(&sbuf);
        msgpack_packer pk;
        msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
        pack(&pk, obj);
        benchmark::DoNotOptimize(sbuf.size);
        msgpack_sbuffer_destroy(&sbuf);
    }
    state.counters["bytes"] = static_cast<double>(packed(pack, obj).size());
}

void BM_Attributes_Encode_Msgpack(benchmark::State& state) {
    Attributes* a = makeAttributes();
    encodeMsgpackBench(state, packAttributesFn, a);
    delete a;
}

void BM_Attributes_Decode_Msgpack(benchmark::State& state) {
    Attributes* a = makeAttributes();
    std::string bytes = packed(packAttributesFn, a);
    delete a;
    for (auto _ : state) {
        msgpack_zone zone;
        msgpack_zone_init(&zone, 2048);
        msgpack_object o;
        if (msgpack_unpack(bytes.data(), bytes.size(), nullptr, &zone, &o) != MSGPACK_UNPACK_SUCCESS)
            state.SkipWithError("unpack failed");
        // The same record as ours, entries in the same order.
        Attributes* back = new Attributes();
        Attributes::AttrList* tail = nullptr;
        for (uint32_t i = 0; i < o.via.map.size; i++) {
            const msgpack_object_kv& kv = o.via.map.ptr[i];
            std::string name(kv.key.via.str.ptr, kv.key.via.str.size);
            Attributes::AttrList* e = new Attributes::AttrList(name.c_str(), unpackAny(kv.val), 0, true);
            if (tail != nullptr)
                tail->next = e;
            else
                back->head = e;
            tail = e;
        }
        delete back;
        msgpack_zone_destroy(&zone);
    }
}

void BM_Array_Encode_Msgpack(benchmark::State& state) {
    AnyArray* array = makeArray();
    encodeMsgpackBench(state, packArrayFn, array);
    delete array;
}

void BM_Array_Decode_Msgpack(benchmark::State& state) {
    AnyArray* array = makeArray();
    std::string bytes = packed(packArrayFn, array);
    delete array;
    for (auto _ : state) {
        msgpack_zone zone;
        msgpack_zone_init(&zone, 2048);
        msgpack_object o;
        if (msgpack_unpack(bytes.data(), bytes.size(), nullptr, &zone, &o) != MSGPACK_UNPACK_SUCCESS)
            state.SkipWithError("unpack failed");
        AnyArray* back = new AnyArray();
        back->elements = static_cast<Any**>(malloc(sizeof(Any*) * o.via.array.size));
        back->count = static_cast<int>(o.via.array.size);
        for (uint32_t i = 0; i < o.via.array.size; i++)
            back->elements[i] = new Any(static_cast<long long>(o.via.array.ptr[i].via.i64));
        delete back;
        msgpack_zone_destroy(&zone);
    }
}

void BM_Block_Encode_Msgpack(benchmark::State& state) {
    std::vector<char> block(kBlock, 'b');
    size_t wire = 0;
    for (auto _ : state) {
        msgpack_sbuffer sbuf;
        msgpack_sbuffer_init(&sbuf);
        msgpack_packer pk;
        msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
        msgpack_pack_bin(&pk, block.size());
        msgpack_pack_bin_body(&pk, block.data(), block.size());
        wire = sbuf.size;
        benchmark::DoNotOptimize(wire);
        msgpack_sbuffer_destroy(&sbuf);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBlock));
    state.counters["bytes"] = static_cast<double>(wire);
}

void BM_Block_Decode_Msgpack(benchmark::State& state) {
    std::vector<char> block(kBlock, 'b');
    msgpack_sbuffer sbuf;
    msgpack_sbuffer_init(&sbuf);
    msgpack_packer pk;
    msgpack_packer_init(&pk, &sbuf, msgpack_sbuffer_write);
    msgpack_pack_bin(&pk, block.size());
    msgpack_pack_bin_body(&pk, block.data(), block.size());
    for (auto _ : state) {
        msgpack_zone zone;
        msgpack_zone_init(&zone, 2048);
        msgpack_object o;
        if (msgpack_unpack(sbuf.data, sbuf.size, nullptr, &zone, &o) != MSGPACK_UNPACK_SUCCESS)
            state.SkipWithError("unpack failed");
        // Like ours, the caller gets a block of its own.
        char* data = static_cast<char*>(malloc(o.via.bin.size));
        memcpy(data, o.via.bin.ptr, o.via.bin.size);
        benchmark::DoNotOptimize(data);
        free(data);
        msgpack_zone_destroy(&zone);
    }
    msgpack_sbuffer_destroy(&sbuf);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBlock));
}

BENCHMARK(BM_Attributes_Encode_Ours);
BENCHMARK(BM_Attributes_Encode_Msgpack);
BENCHMARK(BM_Attributes_Decode_Ours);
BENCHMARK(BM_Attributes_Decode_Msgpack);
BENCHMARK(BM_Array_Encode_Ours);
BENCHMARK(BM_Array_Encode_Msgpack);
BENCHMARK(BM_Array_Decode_Ours);
BENCHMARK(BM_Array_Decode_Msgpack);
BENCHMARK(BM_Block_Encode_Ours);
BENCHMARK(BM_Block_Encode_Msgpack);
BENCHMARK(BM_Block_Decode_Ours);
BENCHMARK(BM_Block_Decode_Msgpack);


}  // namespace

int main(int argc, char** argv) {
    _log_level = LOG_CRITICAL + 1;
    Directory::init();
    bench::MedianReporter reporter;
    bench::runRepeated(argc, argv, 9, reporter);

    printf("\nMedian CPU time per operation, ours beside msgpack-c's (target: decode 1.0 or less):\n");
    printf("  %-18s %12s %12s %7s\n", "", "ours", "msgpack-c", "ratio");
    for (const char* what : {"Attributes_Encode", "Attributes_Decode", "Array_Encode", "Array_Decode",
                             "Block_Encode", "Block_Decode"}) {
        std::string ours = std::string("BM_") + what + "_Ours";
        std::string theirs = std::string("BM_") + what + "_Msgpack";
        if (!reporter.has(ours) || !reporter.has(theirs)) continue;
        printf("  %-18s %9.0f ns %9.0f ns %7.2f\n", what, reporter.time(ours), reporter.time(theirs),
               reporter.time(ours) / reporter.time(theirs));
    }
    printf("\nBytes on the wire for the same record (our frame header not counted):\n");
    printf("  %-18s %12s %12s %7s\n", "", "ours", "msgpack-c", "ratio");
    for (const char* what : {"Attributes", "Array", "Block"}) {
        std::string ours = std::string("BM_") + what + "_Encode_Ours";
        std::string theirs = std::string("BM_") + what + "_Encode_Msgpack";
        if (!reporter.hasCounter(ours, "bytes") || !reporter.hasCounter(theirs, "bytes")) continue;
        printf("  %-18s %12.0f %12.0f %7.2f\n", what, reporter.counter(ours, "bytes"), reporter.counter(theirs, "bytes"),
               reporter.counter(ours, "bytes") / reporter.counter(theirs, "bytes"));
    }
    for (const char* what : {"BM_Block_Encode_Ours", "BM_Block_Decode_Ours"}) {
        if (reporter.hasCounter(what, "bytes_per_second"))
            printf("  %-22s %6.2f GB/s (target: 2 or more)\n", what + 3, reporter.counter(what, "bytes_per_second") / 1e9);
    }
    benchmark::Shutdown();
    return 0;
}
