// The XML model against TinyXML's own work on the same text: reading
// (XElement::fromString vs TiXmlDocument::Parse), writing (toString vs
// TiXmlPrinter) and the nesting-depth check alone, on configuration-like
// documents of about 1 KB, 1 MB and 10 MB.

#include "xelement.h"
#include "xmldepth.h"

#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include <chrono>
#include <string>

namespace {

// A service.xml with as many device types as fit into `size` bytes.
std::string configuration(size_t size)
{
    std::string text = "<?xml version=\"1.0\" ?>\n<service logging=\"true\" append=\"false\">\n";
    for (int n = 1; text.size() < size; ++n)
        text += "  <type name=\"QMX4 Device " + std::to_string(n) + "\" fw=\"device-" + std::to_string(n) +
                ".bin\" type=\"" + std::to_string(n % 16) + "\" vid=\"4660\" pid=\"" + std::to_string(n) + "\" />\n";
    return text + "</service>\n";
}

void sizes(benchmark::internal::Benchmark* b)
{
    b->Arg(1 << 10)->Arg(1 << 20)->Arg(10 << 20)->Unit(benchmark::kMicrosecond);
}

void setBytes(benchmark::State& state, const std::string& text)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

// Reading is timed up to the moment the tree is ready; freeing it afterwards
// is left out on both sides, as it costs the same however a tree was built.
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

void XElementRead(benchmark::State& state)
{
    const std::string text = configuration(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        const auto start = Clock::now();
        const auto root = XElement::fromString(text);
        state.SetIterationTime(seconds(start, Clock::now()));
        benchmark::DoNotOptimize(root.get());
    }
    setBytes(state, text);
}
BENCHMARK(XElementRead)->Apply(sizes)->UseManualTime();

void TinyXmlParse(benchmark::State& state)
{
    const std::string text = configuration(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        TiXmlDocument document;
        const auto start = Clock::now();
        document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
        state.SetIterationTime(seconds(start, Clock::now()));
        benchmark::DoNotOptimize(document.RootElement());
    }
    setBytes(state, text);
}
BENCHMARK(TinyXmlParse)->Apply(sizes)->UseManualTime();

void DepthCheck(benchmark::State& state)
{
    const std::string text = configuration(static_cast<size_t>(state.range(0)));
    const std::string padded = text + std::string(4, '\0'); // as fromString hands it over
    for (auto _ : state)
        benchmark::DoNotOptimize(xmlNestingDepth(padded.c_str(), XElement::maxDepth));
    setBytes(state, text);
}
BENCHMARK(DepthCheck)->Apply(sizes);

void XElementWrite(benchmark::State& state)
{
    const std::string text = configuration(static_cast<size_t>(state.range(0)));
    const auto root = XElement::fromString(text);
    for (auto _ : state)
        benchmark::DoNotOptimize(root->toString());
    setBytes(state, text);
}
BENCHMARK(XElementWrite)->Apply(sizes);

void TinyXmlPrint(benchmark::State& state)
{
    const std::string text = configuration(static_cast<size_t>(state.range(0)));
    TiXmlDocument document;
    document.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
    for (auto _ : state) {
        TiXmlPrinter printer;
        printer.SetIndent("  ");
        document.Accept(&printer);
        benchmark::DoNotOptimize(printer.Str());
    }
    setBytes(state, text);
}
BENCHMARK(TinyXmlPrint)->Apply(sizes);

} // namespace

BENCHMARK_MAIN();
