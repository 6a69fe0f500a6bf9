// Round trip of a file through the transfer encoding (compressFile, then
// saveCompressedFile of the hex text) against plain zlib compress + uncompress
// of the same bytes, so that the cost of the hex text and the file handling
// shows as a throughput ratio; and each direction alone against zlib.

#include "xfer.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <string>

namespace {

// Appends INI sections and XML fragments of the kind the configuration files
// hold until `out` has grown by `bytes`.
void appendConfigText(std::mt19937 &rng, QByteArray &out, qsizetype bytes)
{
    static const char *const words[] = {"pump",    "valve",   "station", "north",  "south", "inlet",
                                        "outlet",  "pressure", "flow",   "level",  "backup", "primary",
                                        "sensor",  "tank",     "line",   "heater", "mixer",  "gate"};
    static const char *const units[] = {"bar", "l/s", "m", "degC", "rpm", "%"};
    const auto below = [&rng](unsigned n) { return QByteArray::number(rng() % n); };
    const auto word = [&rng]() { return QByteArray(words[rng() % std::size(words)]); };

    const qsizetype target = out.size() + bytes;
    while (out.size() < target) {
        const QByteArray area = below(12);
        const QByteArray unit = below(100);
        if (rng() % 3 == 0) {
            out += "<unit area=\"" + area + "\" id=\"" + unit + "\" name=\"" + word() + ' ' + word() + "\">\r\n";
            for (unsigned c = 0, channels = 2 + rng() % 6; c < channels; ++c) {
                out += "  <channel id=\"" + below(64) + "\" type=\"" + (rng() % 2 ? "analog" : "digital")
                       + "\" unit=\"" + units[rng() % std::size(units)] + "\" min=\"0\" max=\"" + below(1000)
                       + "\" scale=\"0." + below(1000) + "\" label=\"" + word() + ' ' + word() + "\"/>\r\n";
            }
            out += "</unit>\r\n";
        } else {
            out += "[Area" + area + ".Unit" + unit + "]\r\n";
            out += "Name=" + word() + ' ' + word() + ' ' + unit + "\r\n";
            out += "Address=192.168." + area + '.' + below(255) + "\r\n";
            out += "Port=" + QByteArray::number(5000 + rng() % 1000) + "\r\n";
            out += "Timeout=" + below(30000) + "\r\n";
            out += "Retries=" + below(10) + "\r\n";
            out += "Enabled=" + below(2) + "\r\n";
            out += "Path=C:\\Tavex\\config\\area" + area + "\\unit" + unit + "\\" + word() + ".cfg\r\n";
            out += "Description=" + word() + ' ' + word() + ' ' + word() + ' ' + word() + "\r\n\r\n";
        }
    }
    out.truncate(target);
}

void appendRandomBytes(std::mt19937 &rng, QByteArray &out, qsizetype bytes)
{
    const qsizetype start = out.size();
    out.resize(start + bytes);
    for (qsizetype i = start; i < out.size(); ++i)
        out[i] = static_cast<char>(rng() >> 24);
}

enum class Sample { Text1MB, Mixed50MB };

QByteArray makeContent(Sample kind)
{
    std::mt19937 rng(kind == Sample::Text1MB ? 1u : 2u);
    QByteArray content;
    if (kind == Sample::Text1MB) {
        appendConfigText(rng, content, 1024 * 1024);
        return content;
    }
    // Runs of text between incompressible blocks, the way an archive of
    // configuration files and embedded binaries would look; about 60 % text.
    const qsizetype total = qsizetype(50) * 1024 * 1024;
    content.reserve(total);
    while (content.size() < total) {
        const qsizetype run = std::min<qsizetype>(4096 + rng() % (256 * 1024), total - content.size());
        if (rng() % 5 < 3)
            appendConfigText(rng, content, run);
        else
            appendRandomBytes(rng, content, run);
    }
    return content;
}

QTemporaryDir &workDir()
{
    static QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        std::exit(1);
    }
    return dir;
}

struct SampleFile
{
    QString name;
    QString path;
    QByteArray content;
};

// Each sample is generated and written once, on first use.
const SampleFile &sampleFile(Sample kind)
{
    static std::map<Sample, std::unique_ptr<SampleFile>> files;
    auto &slot = files[kind];
    if (!slot) {
        slot = std::make_unique<SampleFile>();
        slot->name = kind == Sample::Text1MB ? QStringLiteral("text_1MB.ini") : QStringLiteral("mixed_50MB.bin");
        slot->path = workDir().filePath(slot->name);
        slot->content = makeContent(kind);
        QFile out(slot->path);
        if (!out.open(QIODevice::WriteOnly) || out.write(slot->content) != slot->content.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(slot->path));
            std::exit(1);
        }
    }
    return *slot;
}

// Where the round trips write their result.
QString receivedFolder()
{
    static const QString folder = [] {
        const QString path = workDir().filePath(QStringLiteral("received"));
        QDir().mkpath(path);
        return path;
    }();
    return folder;
}

bool sameContent(const QString &path, const QByteArray &expected)
{
    QFile in(path);
    return in.open(QIODevice::ReadOnly) && in.readAll() == expected;
}

// compressFile + saveCompressedFile, the way a file travels between the peers.
bool roundTripOurs(const SampleFile &sample)
{
    QByteArray hex;
    if (xfer::compressFile(sample.path, hex))
        return false;
    return !xfer::saveCompressedFile(QByteArrayView(hex), sample.content.size(), receivedFolder(), sample.name);
}

void BM_roundTripOurs(benchmark::State &state, Sample kind)
{
    const SampleFile &sample = sampleFile(kind);
    if (!roundTripOurs(sample) || !sameContent(receivedFolder() + QLatin1Char('/') + sample.name, sample.content)) {
        state.SkipWithError("round trip does not reproduce the file");
        return;
    }
    for (auto _ : state) {
        if (!roundTripOurs(sample)) {
            state.SkipWithError("round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * sample.content.size());
}

// compress + uncompress in memory; fresh buffers each time, as the transfer code has.
bool roundTripZlib(const QByteArray &content, QByteArray &output, qsizetype *packedSize = nullptr)
{
    uLongf compressedSize = compressBound(static_cast<uLong>(content.size()));
    QByteArray compressed(static_cast<qsizetype>(compressedSize), Qt::Uninitialized);
    if (compress(reinterpret_cast<Bytef *>(compressed.data()), &compressedSize,
                 reinterpret_cast<const Bytef *>(content.constData()), static_cast<uLong>(content.size()))
        != Z_OK)
        return false;
    if (packedSize)
        *packedSize = static_cast<qsizetype>(compressedSize);
    output = QByteArray(content.size(), Qt::Uninitialized);
    uLongf produced = static_cast<uLongf>(output.size());
    return uncompress(reinterpret_cast<Bytef *>(output.data()), &produced,
                      reinterpret_cast<const Bytef *>(compressed.constData()), compressedSize)
               == Z_OK
        && produced == static_cast<uLongf>(content.size());
}

void BM_roundTripZlib(benchmark::State &state, Sample kind)
{
    const SampleFile &sample = sampleFile(kind);
    QByteArray output;
    qsizetype packedSize = 0;
    if (!roundTripZlib(sample.content, output, &packedSize) || output != sample.content) {
        state.SkipWithError("zlib round trip does not reproduce the bytes");
        return;
    }
    // Compressed size relative to the file, for reading the figures.
    state.counters["packed"] = double(packedSize) / double(sample.content.size());
    for (auto _ : state) {
        if (!roundTripZlib(sample.content, output)) {
            state.SkipWithError("zlib round trip failed");
            break;
        }
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(state.iterations() * sample.content.size());
}

// The same with the file read and written, to separate the cost of the hex
// text from that of the file handling.
bool roundTripZlibFiles(const SampleFile &sample)
{
    QFile in(sample.path);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    QByteArray output;
    if (!roundTripZlib(in.readAll(), output))
        return false;
    QSaveFile out(receivedFolder() + QLatin1Char('/') + sample.name);
    return out.open(QIODevice::WriteOnly) && out.write(output) == output.size() && out.commit();
}

void BM_roundTripZlibFiles(benchmark::State &state, Sample kind)
{
    const SampleFile &sample = sampleFile(kind);
    if (!roundTripZlibFiles(sample)) {
        state.SkipWithError("zlib file round trip failed");
        return;
    }
    for (auto _ : state) {
        if (!roundTripZlibFiles(sample)) {
            state.SkipWithError("zlib file round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * sample.content.size());
}

// Each direction alone: compressFile (read, compress, hex) against zlib's
// compress of the bytes in memory, and saveCompressedFile (hex, decompress,
// write) against zlib's uncompress in memory.
void BM_compressOurs(benchmark::State &state, Sample kind)
{
    const SampleFile &sample = sampleFile(kind);
    QByteArray hex;
    for (auto _ : state) {
        if (xfer::compressFile(sample.path, hex)) {
            state.SkipWithError("compressFile failed");
            break;
        }
        benchmark::DoNotOptimize(hex.data());
    }
    state.SetBytesProcessed(state.iterations() * sample.content.size());
}

void BM_compressZlib(benchmark::State &state, Sample kind)
{
    const SampleFile &sample = sampleFile(kind);
    QByteArray compressed;
    for (auto _ : state) {
        uLongf size = compressBound(static_cast<uLong>(sample.content.size()));
        compressed = QByteArray(static_cast<qsizetype>(size), Qt::Uninitialized);
        if (compress(reinterpret_cast<Bytef *>(compressed.data()), &size,
                     reinterpret_cast<const Bytef *>(sample.content.constData()), static_cast<uLong>(sample.content.size()))
            != Z_OK) {
            state.SkipWithError("compress failed");
            break;
        }
        benchmark::DoNotOptimize(compressed.data());
    }
    state.SetBytesProcessed(state.iterations() * sample.content.size());
}

void BM_decompressOurs(benchmark::State &state, Sample kind)
{
    const SampleFile &sample = sampleFile(kind);
    QByteArray hex;
    if (xfer::compressFile(sample.path, hex)) {
        state.SkipWithError("compressFile failed");
        return;
    }
    for (auto _ : state) {
        if (xfer::saveCompressedFile(QByteArrayView(hex), sample.content.size(), receivedFolder(), sample.name)) {
            state.SkipWithError("saveCompressedFile failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * sample.content.size());
}

void BM_decompressZlib(benchmark::State &state, Sample kind)
{
    const SampleFile &sample = sampleFile(kind);
    uLongf packedSize = compressBound(static_cast<uLong>(sample.content.size()));
    QByteArray packed(static_cast<qsizetype>(packedSize), Qt::Uninitialized);
    compress(reinterpret_cast<Bytef *>(packed.data()), &packedSize,
             reinterpret_cast<const Bytef *>(sample.content.constData()), static_cast<uLong>(sample.content.size()));
    QByteArray output;
    for (auto _ : state) {
        output = QByteArray(sample.content.size(), Qt::Uninitialized);
        uLongf produced = static_cast<uLongf>(output.size());
        if (uncompress(reinterpret_cast<Bytef *>(output.data()), &produced,
                       reinterpret_cast<const Bytef *>(packed.constData()), packedSize)
            != Z_OK) {
            state.SkipWithError("uncompress failed");
            break;
        }
        benchmark::DoNotOptimize(output.data());
    }
    state.SetBytesProcessed(state.iterations() * sample.content.size());
}

// Console output plus, at the end, the throughput of our round trip relative
// to each zlib baseline on the same sample.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (!run.error_occurred && rate != run.counters.end())
                m_rates[run.run_name.function_name].add(run, rate->second.value);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override
    {
        ConsoleReporter::Finalize();
        std::ostream &out = GetOutputStream();
        for (const char *sample : {"text_1MB", "mixed_50MB"}) {
            const double ours = rate(std::string("roundtrip/ours/") + sample);
            for (const char *baseline : {"zlib", "zlib_file_io"}) {
                const double base = rate(std::string("roundtrip/") + baseline + '/' + sample);
                if (ours > 0 && base > 0)
                    out << "ratio ours / " << baseline << ", " << sample << ": " << ours / base << '\n';
            }
            for (const char *direction : {"compress", "decompress"}) {
                const double mine = rate(std::string(direction) + "/ours/" + sample);
                const double base = rate(std::string(direction) + "/zlib/" + sample);
                if (mine > 0 && base > 0)
                    out << "ratio " << direction << " ours / zlib in memory, " << sample << ": " << mine / base << '\n';
            }
        }
    }

private:
    // The mean of the repetitions; taken from the "mean" line when only
    // aggregates are reported.
    struct Mean
    {
        double sum = 0;
        int count = 0;
        double aggregate = -1;

        void add(const Run &run, double value)
        {
            if (run.run_type == Run::RT_Iteration) {
                sum += value;
                ++count;
            } else if (run.aggregate_name == "mean") {
                aggregate = value;
            }
        }
        double value() const { return aggregate >= 0 ? aggregate : count > 0 ? sum / count : 0.0; }
    };

    double rate(const std::string &name) const
    {
        const auto it = m_rates.find(name);
        return it == m_rates.end() ? 0.0 : it->second.value();
    }

    std::map<std::string, Mean> m_rates;
};

} // namespace

int main(int argc, char **argv)
{
    // Ours and the baselines alternate per sample so that both see the same
    // machine state.
    for (const auto &[sample, label] : {std::pair{Sample::Text1MB, "text_1MB"}, std::pair{Sample::Mixed50MB, "mixed_50MB"}}) {
        const double minTime = sample == Sample::Text1MB ? 1.0 : 4.0;
        benchmark::RegisterBenchmark((std::string("roundtrip/ours/") + label).c_str(), BM_roundTripOurs, sample)
            ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(minTime);
        benchmark::RegisterBenchmark((std::string("roundtrip/zlib/") + label).c_str(), BM_roundTripZlib, sample)
            ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(minTime);
        benchmark::RegisterBenchmark((std::string("roundtrip/zlib_file_io/") + label).c_str(), BM_roundTripZlibFiles,
                                     sample)
            ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(minTime);
        using direction = void (*)(benchmark::State &, Sample);
        const std::pair<const char *, direction> directions[] = {{"compress/ours/", BM_compressOurs},
                                                                  {"compress/zlib/", BM_compressZlib},
                                                                  {"decompress/ours/", BM_decompressOurs},
                                                                  {"decompress/zlib/", BM_decompressZlib}};
        for (const auto &[name, function] : directions)
            benchmark::RegisterBenchmark((std::string(name) + label).c_str(), function, sample)
                ->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(minTime);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
