// AMF encode and decode of a typical onMetaData body: the name "onMetaData",
// an ECMA array with the nine keys the FLV writer writes and a few strings
// (encoder, title, author), and the extra end marker the writer adds.
// Encode builds it in a stream sized by GetEncodeLen, as the writer does;
// decode reads the name, the array marker and the array, as CFlvioData does.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "amfcodec/amf.h"
#include "amfcodec/flashstream.h"
#include "basekit/datapackage.h"

namespace {

void FillMetaData(CAmfECMAArray& meta) {
    meta.Set("duration", 600.0);
    meta.Set("width", 1280.0);
    meta.Set("height", 720.0);
    meta.Set("videodatarate", 1450.0);
    meta.Set("framerate", 15.0);
    meta.Set("videocodecid", 7.0);
    meta.Set("audiodatarate", 64.0);
    meta.Set("audiodelay", 0.0);
    meta.Set("audiocodecid", 10.0);
    meta.Set("encoder", std::string("Tolvane 0.1.0 (libx264, AAC)"));
    meta.Set("title", std::string("Screen recording 2026-12-08 10:15:42"));
    meta.Set("author", std::string("tolvane"));
}

const unsigned long kEntries = 12;

// The body in a stream of exactly its size; null when encoding fails.
std::unique_ptr<CFlashStream> EncodeBody(CAmfECMAArray& meta) {
    CAmfString name("onMetaData", 0);
    auto out = std::make_unique<CFlashStream>(name.GetEncodeLen() + meta.GetEncodeLen() + 3);
    int rv = name.Encode(*out);
    if (rv == 0) rv = meta.Encode(*out);
    if (rv == 0) rv = out->PutUI24(0x000009, 1);
    if (rv != 0 || out->GetSpace() != 0) out.reset();
    return out;
}

void BM_AmfEncodeMetaData(benchmark::State& state) {
    CAmfECMAArray meta;
    FillMetaData(meta);
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto out = EncodeBody(meta);
        if (!out) {
            state.SkipWithError("encoding failed");
            break;
        }
        bytes = out->GetLength();
        benchmark::DoNotOptimize(out->GetReadPtr());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["body_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_AmfEncodeMetaData);

// What CFlvWriter::CreateMetaData costs in AMF: build the array, then encode.
void BM_AmfBuildAndEncodeMetaData(benchmark::State& state) {
    std::size_t bytes = 0;
    for (auto _ : state) {
        CAmfECMAArray meta;
        FillMetaData(meta);
        const auto out = EncodeBody(meta);
        if (!out) {
            state.SkipWithError("encoding failed");
            break;
        }
        bytes = out->GetLength();
        benchmark::DoNotOptimize(out->GetReadPtr());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_AmfBuildAndEncodeMetaData);

void BM_AmfDecodeMetaData(benchmark::State& state) {
    CAmfECMAArray source;
    FillMetaData(source);
    const auto encoded = EncodeBody(source);
    if (!encoded) {
        state.SkipWithError("encoding failed");
        return;
    }
    const std::string body = encoded->GetBuf().FlattenPackage();
    for (auto _ : state) {
        CDataPackage package(body.size(), body.data(), CDataPackage::FLAG_WRAP, body.size());
        CFlashStream stream(package, 0);
        CAmfString name(std::string(), 0);  // with its marker
        UI8 marker = 0;
        CAmfECMAArray meta;
        if (name.Decode(stream) != 0 || stream.GetUI8(marker) != 0 || marker != AMF_ECMA_ARRAY ||
            meta.Decode(stream) != 0 || meta.GetArray().size() != kEntries) {
            state.SkipWithError("decoding failed");
            break;
        }
        benchmark::DoNotOptimize(meta.GetArray().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["body_bytes"] = static_cast<double>(body.size());
}
BENCHMARK(BM_AmfDecodeMetaData);

}  // namespace
