// The key journal's check at 1 000 and at 1 000 000 records: opening the journal and finding a
// key's last record through the index beside it should cost the same at both sizes (the
// records are never read again once indexed), and the append of a run's two records, synced,
// is one disk sync. Noting a read (looking up both keys' earlier reads of the frame's ranges
// through the read index, then appending the two read records) should also cost the same at
// both sizes. The journals are written once, with 1 000 keys taking turns at sending and
// reading.
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
    // Each key's uses alternate between a message sent and one read.
    record.kind = (number / kKeys) % 2 == 0 ? veldoran::kJournalSent : veldoran::kJournalRead;
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
// its indexes made by a first look-up of each kind.
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
    journal.Open(path, true);
    veldoran::JournalRecord last;
    bool found = false;
    journal.Last(last.fingerprint, &last, &found);
    journal.Reads(last.fingerprint, veldoran::KeyRange(0, 1, 1u << 30),
                  [](uint64_t, const veldoran::JournalRecord&) { return true; });
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

namespace {

// What a decryption does when it notes its frame: open and lock the journal for writing, look
// up both keys' earlier reads that share the frame's ranges, append the two read records.
void BM_NoteRead(benchmark::State& state) {
    const std::string& path = SharedJournals().Of(static_cast<uint32_t>(state.range(0)));
    uint32_t key = 0;
    // Beyond every recorded range, and past the reads of earlier runs on the same journals: the
    // reads of a key that was never reused.
    static uint32_t start = 1u << 29;
    for (auto _ : state) {
        veldoran::JournalFile journal;
        if (journal.Open(path, true) != kNoErr) {
            state.SkipWithError("journal refused");
            break;
        }
        veldoran::JournalRecord reads[2];
        for (veldoran::JournalRecord& read : reads) {
            const uint32_t wanted = key++ % kKeys;
            memcpy(read.fingerprint, &wanted, sizeof wanted);
            read.kind = veldoran::kJournalRead;
            read.keyLen = 1u << 30;
            read.start = start;
            read.length = 3000;
            read.offsetAfter = start + 3000;
            int earlier = 0;
            if (journal.Reads(read.fingerprint, read.Range(),
                              [&earlier](uint64_t, const veldoran::JournalRecord&) {
                                  return ++earlier > 0;
                              }) != kNoErr ||
                earlier != 0) {
                state.SkipWithError("look-up failed");
            }
        }
        start += 3000;
        if (journal.Append(reads, 2, veldoran::JournalFile::Mode::kOwnUnsynced) != kNoErr) {
            state.SkipWithError("append failed");
        }
    }
    state.SetLabel(std::to_string(state.range(0)) + " records");
}

}  // namespace

BENCHMARK(BM_NoteRead)->Arg(1000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
