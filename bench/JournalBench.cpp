// The key journal's check at 1 000 and at 1 000 000 records: opening the journal and finding a
// key's last record through the index beside it should cost the same at both sizes (the
// records are never read again once indexed), and the append of a run's two records, synced,
// is one disk sync. The journals are written once, with 1 000 keys taking turns.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "veldoran.h"

namespace {

constexpr uint32_t kKeys = 1000;

veldoran::JournalRecord KeyUse(uint32_t number) {
    veldoran::JournalRecord record;
    record.kind = veldoran::kJournalSent;
    const uint32_t key = number % kKeys;
    memcpy(record.fingerprint, &key, sizeof key);
    record.sequence = number;
    record.keyLen = 1u << 30;
    record.start = (number / kKeys) * 100;
    record.length = 100;
    record.offsetAfter = record.start + 100;
    record.useCountAfter = static_cast<int32_t>(number / kKeys + 1);
    return record;
}

// A journal of count records (a header made by the library, the records written in bulk),
// its index made by a first look-up.
std::string MakeJournal(const testsupport::TempDir& folder, uint32_t count) {
    const std::string path = folder.File("journal-" + std::to_string(count));
    {
        veldoran::JournalFile journal;
        journal.Open(path, true);
    }
    std::ofstream out(path, std::ios::binary | std::ios::app);
    std::vector<unsigned char> chunk;
    for (uint32_t number = 0; number < count; ++number) {
        unsigned char bytes[veldoran::kJournalRecordSize];
        veldoran::EncodeJournalRecord(KeyUse(number), bytes);
        chunk.insert(chunk.end(), bytes, bytes + sizeof bytes);
        if (chunk.size() >= (1u << 20) || number + 1 == count) {
            out.write(reinterpret_cast<const char*>(chunk.data()),
                      static_cast<std::streamsize>(chunk.size()));
            chunk.clear();
        }
    }
    out.close();
    veldoran::JournalFile journal;
    journal.Open(path, false);
    veldoran::JournalRecord last;
    bool found = false;
    journal.Last(last.fingerprint, &last, &found);
    return path;
}

struct Journals {
    testsupport::TempDir folder{testsupport::MemoryBackedTempParent()};
    std::map<uint32_t, std::string> paths;
    const std::string& Of(uint32_t count) {
        auto found = paths.find(count);
        if (found == paths.end()) {
            found = paths.emplace(count, MakeJournal(folder, count)).first;
        }
        return found->second;
    }
};

Journals& SharedJournals() {
    static Journals journals;
    return journals;
}

// What every encryption does before its headers: open and lock the journal, find both keys'
// last records.
void BM_JournalCheck(benchmark::State& state) {
    const std::string& path = SharedJournals().Of(static_cast<uint32_t>(state.range(0)));
    uint32_t key = 0;
    for (auto _ : state) {
        veldoran::JournalFile journal;
        if (journal.Open(path, false) != kNoErr) {
            state.SkipWithError("journal refused");
            break;
        }
        for (int layer = 0; layer < 2; ++layer) {
            unsigned char fingerprint[veldoran::kKeyFingerprintSize] = {};
            const uint32_t wanted = key++ % kKeys;
            memcpy(fingerprint, &wanted, sizeof wanted);
            veldoran::JournalRecord last;
            bool found = false;
            if (journal.Last(fingerprint, &last, &found) != kNoErr || !found) {
                state.SkipWithError("key not found");
            }
            benchmark::DoNotOptimize(last);
        }
    }
    state.SetLabel(std::to_string(state.range(0)) + " records");
}
BENCHMARK(BM_JournalCheck)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

}  // namespace
