// A host program outside the source tree, built against the installed library: it includes only
// veldoran.h and uses the utility object, a file reference, a compressing attachment container
// (so that a static library must bring LZO along), a sink of its own for the *Into calls and a
// key journal whose records are hashed (so that it must bring Nettle along too).
// Prints "host ok" and exits with 0 when every step gave the expected result; argument 1 is a
// folder it may write into.
#include <veldoran.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Fail(const char* step) {
    fprintf(stderr, "host: %s failed\n", step);
    return 1;
}

// Packs 1000 bytes into a format-2 container, writes its block and loads it back.
bool ContainerRoundTrip(TypUtils* utils) {
    auto* built = new TypPieceJointe;
    built->InitCreate2(utils, kformatLZOcompresse);
    unsigned char* data = utils->MyNewPtr(1000);
    TypInfo info;
    bool ok = data != nullptr && built->AddBlock(&info, data, 1000, "spaces.txt") == kNoErr &&
              info.storedSize < 1000;
    unsigned char* block = nullptr;
    int32_t length = 0;
    ok = ok && built->GetStruct(&block, &length) == kNoErr;
    built->Kill();
    delete built;

    auto* loaded = new TypPieceJointe;
    loaded->InitCreate(utils);
    unsigned char* back = nullptr;
    int32_t backLength = 0;
    ok = ok && loaded->LoadStruct(block, length) == kNoErr && loaded->GetNbFiles() == 1 &&
         loaded->GetDataN(0, &back, &backLength) == kNoErr && backLength == 1000 &&
         back[0] == ' ' && back[999] == ' ';
    loaded->Kill();
    delete loaded;
    utils->MyDisposeptr(&block, static_cast<uint32_t>(length));
    return ok;
}

// A result held in memory: a target the host makes itself for the file pipelines.
class MemorySink : public veldoran::TargetSink {
  public:
    int32_t Reserve(uint64_t) override { return kNoErr; }
    int32_t Write(const unsigned char* data, uint32_t count) override {
        held.append(reinterpret_cast<const char*>(data), count);
        return kNoErr;
    }
    int32_t SyncContent() override { return kNoErr; }
    int32_t Commit() override {
        committed = true;
        return kNoErr;
    }
    int32_t Kill() override {
        held.clear();
        abandoned = true;
        return kNoErr;
    }
    bool InPlace() const override { return false; }

    std::string held;
    bool committed = false;
    bool abandoned = false;
};

// A source that is not there fails the run, which abandons the host's sink.
bool SinkAbandonedOnFailure(const std::string& folder) {
    MemorySink sink;
    const std::string missing = folder + "missing.vlb";
    return veldoran::DecryptBinaryFileInto(missing.c_str(), &sink, "memory", folder.c_str(), 0) ==
               kOtherErr &&
           sink.abandoned && !sink.committed;
}

// A key journal made in folder, one read noted in it and found again by key and range.
bool JournalRoundTrip(const std::string& folder) {
    // Each host run starts a journal of its own.
    for (const char* name : {"journal", "journal.index", "journal.reads"}) {
        std::remove((folder + name).c_str());
    }
    veldoran::JournalFile journal;
    if (journal.Open(folder + "journal", true) != kNoErr) {
        return false;
    }
    veldoran::JournalRecord read;
    read.kind = veldoran::kJournalRead;
    read.fingerprint[0] = 0x42;
    read.keyLen = 1000;
    read.start = 990;
    read.length = 20;
    if (journal.Append(&read, 1) != kNoErr) {
        return false;
    }
    int found = 0;
    const int32_t result =
        journal.Reads(read.fingerprint, veldoran::KeyRange(5, 1, 1000),
                      [&found](uint64_t, const veldoran::JournalRecord&) { return ++found > 0; });
    return result == kNoErr && found == 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return Fail("usage: host <folder>/");
    }
    auto* utils = new TypUtilsUnix;
    if (utils->InitCreate(nullptr) != kNoErr) {
        return Fail("InitCreate");
    }
    unsigned char* block = utils->MyNewPtr(4);
    if (block == nullptr || memcmp(block, "    ", 4) != 0) {
        return Fail("MyNewPtr");
    }
    uint32_t stored = 0;
    const unsigned char bigEndian[4] = {0x00, 0x00, 0x00, 0xE0};
    memcpy(&stored, bigEndian, 4);
    utils->swapUnsignedlong(&stored);
    if (stored != 224) {
        return Fail("swapUnsignedlong");
    }
    memcpy(block, "Test", 4);

    auto* file = new TypFileRefUnix;
    file->InitCreate(utils);
    if (file->SetPath(argv[1]) != kNoErr || file->AppendPath("host.bin") != kNoErr) {
        return Fail("SetPath");
    }
    if (file->OpenDF(kOpenCreate) != kNoErr || file->Write(block, 4) != kNoErr ||
        file->CloseDF() != kNoErr) {
        return Fail("writing");
    }
    utils->MyDisposeptr(&block, 4);

    int32_t length = 0;
    unsigned char back[4] = {};
    if (file->OpenDF(kOpenRead) != kNoErr || file->GetLength(&length) != kNoErr || length != 4 ||
        file->SetFilePos(0) != kNoErr || file->Read(back, 4) != kNoErr ||
        file->CloseDF() != kNoErr || memcmp(back, "Test", 4) != 0) {
        return Fail("reading");
    }
    if (file->Delete() != kNoErr || file->Exists() != kOtherErr) {
        return Fail("Delete");
    }
    file->Kill();
    delete file;

    if (!ContainerRoundTrip(utils)) {
        return Fail("attachment container");
    }

    if (!SinkAbandonedOnFailure(argv[1])) {
        return Fail("a sink of the host's own");
    }

    if (!JournalRoundTrip(argv[1])) {
        return Fail("key journal");
    }

    char year[16] = {};
    utils->GetYearAsText(year);
    utils->Kill();
    delete utils;
    printf("host ok (year text %s)\n", year);
    return 0;
}
