// Throughput of the hex text helpers on 16 MiB of hex text (8 MiB of bytes),
// counted in hex digits per second for encoding and decoding alike.

#include "xfer.h"

#include <QByteArray>
#include <QString>

#include <benchmark/benchmark.h>

#include <random>

namespace {

constexpr qsizetype byteCount = qsizetype(8) * 1024 * 1024;

const QByteArray &sampleBytes()
{
    static const QByteArray bytes = [] {
        std::mt19937 rng(3);
        QByteArray b(byteCount, Qt::Uninitialized);
        for (char &c : b)
            c = static_cast<char>(rng() >> 24);
        return b;
    }();
    return bytes;
}

const QByteArray &sampleHex()
{
    static const QByteArray hex = xfer::toHex(sampleBytes());
    return hex;
}

// Hex text as it arrives inside a parsed message.
const QString &sampleHexText()
{
    static const QString text = QString::fromLatin1(sampleHex());
    return text;
}

// Encodes into a buffer kept between iterations, as a caller reusing one would.
void BM_toHex(benchmark::State &state)
{
    const QByteArray &bytes = sampleBytes();
    QByteArray hex;
    for (auto _ : state) {
        xfer::toHex(bytes, hex);
        benchmark::DoNotOptimize(hex.data());
        benchmark::ClobberMemory();
    }
    if (hex != sampleHex())
        state.SkipWithError("toHex gives different text");
    state.SetBytesProcessed(state.iterations() * bytes.size() * 2);
}

// Encodes into a new array each time, as compressFile's callers do.
void BM_toHexNew(benchmark::State &state)
{
    const QByteArray &bytes = sampleBytes();
    for (auto _ : state) {
        QByteArray hex = xfer::toHex(bytes);
        benchmark::DoNotOptimize(hex.data());
    }
    state.SetBytesProcessed(state.iterations() * bytes.size() * 2);
}

template <typename Text>
void decodeBenchmark(benchmark::State &state, const Text &hex)
{
    QByteArray bytes;
    bytes.reserve(hex.size() / 2);
    for (auto _ : state) {
        bytes.resize(0); // keeps the capacity
        xfer::appendFromHex(hex, bytes);
        benchmark::DoNotOptimize(bytes.data());
        benchmark::ClobberMemory();
    }
    if (bytes != sampleBytes())
        state.SkipWithError("appendFromHex gives different bytes");
    state.SetBytesProcessed(state.iterations() * hex.size());
}

void BM_appendFromHexBytes(benchmark::State &state)
{
    decodeBenchmark(state, QByteArrayView(sampleHex()));
}

void BM_appendFromHexText(benchmark::State &state)
{
    decodeBenchmark(state, QStringView(sampleHexText()));
}

} // namespace

BENCHMARK(BM_toHex)->Name("hex/encode/reused_buffer")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_toHexNew)->Name("hex/encode/new_array")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_appendFromHexBytes)->Name("hex/decode/QByteArrayView")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_appendFromHexText)->Name("hex/decode/QStringView")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
