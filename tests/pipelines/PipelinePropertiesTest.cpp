// What every pipeline promises alike, checked once over all of them: a null argument is refused
// with -1 before anything else happens, a memory function clears its outputs first, and no key
// file changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/KeyPairFixture.h"
#include "veldoran.h"

namespace {

// One call with a null argument; out and outLength are the memory functions' outputs, set to
// non-null values before the call.
struct NullCall {
    std::function<int32_t(unsigned char** out, uint32_t* outLength)> call;
    bool clearsOutputs;  // a memory function, which clears *out and *outLength first
};

struct PipelineCalls {
    const char* name;
    std::vector<NullCall> calls;
};

// ctest lists each case by the pipeline's name.
void PrintTo(const PipelineCalls& pipeline, std::ostream* os) {
    *os << pipeline.name;
}

const unsigned char kByte = 0;

std::vector<PipelineCalls> Pipelines() {
    return {
        {"TextEncryption",
         {
             {[](unsigned char**, uint32_t*) {
                  return crypter3(nullptr, "t", "u", "", "", "", "", 0);
              },
              false},
             {[](unsigned char**, uint32_t*) {
                  return crypter3("s", "t", "u", "", nullptr, "", "", 0);
              },
              false},
             {[](unsigned char**, uint32_t*) { return crypter2(nullptr, "u", "", "", "", "", 0); },
              false},
         }},
        {"TextDecryption",
         {
             {[](unsigned char**, uint32_t*) { return decrypter2(nullptr, "", 0); }, false},
             {[](unsigned char**, uint32_t*) { return decrypter2("m", nullptr, 0); }, false},
             {[](unsigned char**, uint32_t*) { return decrypter(nullptr); }, false},
         }},
        {"BinaryPipelines",
         {
             {[](unsigned char**, uint32_t*) { return crypterbinaire(nullptr, "dupont", "", 0); },
              false},
             {[](unsigned char**, uint32_t*) { return crypterbinaire("s", nullptr, "", 0); },
              false},
             {[](unsigned char**, uint32_t*) {
                  return crypterbinaire2("s", nullptr, "dupont", "", 0);
              },
              false},
             {[](unsigned char**, uint32_t*) {
                  return crypterbinaire2("s", "t", "dupont", nullptr, 0);
              },
              false},
             {[](unsigned char**, uint32_t*) { return decrypterbinaire(nullptr, "", 0); }, false},
             {[](unsigned char**, uint32_t*) { return decrypterbinaire("s.vlb", nullptr, 0); },
              false},
             {[](unsigned char** out, uint32_t* outLength) {
                  return crypterbinaireMem2(nullptr, 1, out, outLength, "dupont", "", 0);
              },
              true},
             {[](unsigned char** out, uint32_t* outLength) {
                  return crypterbinaireMem2(&kByte, 1, out, outLength, nullptr, "", 0);
              },
              true},
             {[](unsigned char** out, uint32_t* outLength) {
                  return crypterbinaireMem2(&kByte, 1, out, outLength, "dupont", nullptr, 0);
              },
              true},
             {[](unsigned char** out, uint32_t* outLength) {
                  return decrypterbinaireMem2(nullptr, 1, out, outLength, "", 0);
              },
              true},
             {[](unsigned char** out, uint32_t* outLength) {
                  return decrypterbinaireMem2(&kByte, 1, out, outLength, nullptr, 0);
              },
              true},
             // The outputs themselves null: nothing to clear.
             {[](unsigned char**, uint32_t* outLength) {
                  return crypterbinaireMem2(&kByte, 1, nullptr, outLength, "dupont", "", 0);
              },
              false},
             {[](unsigned char** out, uint32_t*) {
                  return decrypterbinaireMem2(&kByte, 1, out, nullptr, "", 0);
              },
              false},
         }},
    };
}

class PipelineProperties : public testsupport::KeyPairTest,
                           public ::testing::WithParamInterface<PipelineCalls> {};

TEST_P(PipelineProperties, NullArgumentsAreRefused) {
    const std::vector<NullCall>& calls = GetParam().calls;
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        unsigned char* out = reinterpret_cast<unsigned char*>(1);
        uint32_t outLength = 1;
        EXPECT_EQ(calls[i].call(&out, &outLength), kOtherErr);
        if (calls[i].clearsOutputs) {
            EXPECT_EQ(out, nullptr);
            EXPECT_EQ(outLength, 0u);
        }
    }
    EXPECT_TRUE(MasterUntouched());
    EXPECT_TRUE(UserUntouched());
}

INSTANTIATE_TEST_SUITE_P(Pipelines, PipelineProperties, ::testing::ValuesIn(Pipelines()),
                         [](const ::testing::TestParamInfo<PipelineCalls>& pipeline) {
                             return std::string(pipeline.param.name);
                         });

}  // namespace
