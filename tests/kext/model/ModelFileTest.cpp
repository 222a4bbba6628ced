// Model files: the examples load as written, a model survives its file, and broken files are
// refused with the key at fault (random damage is the model-file fuzz target's).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "kext/model/Catalogue.h"
#include "kext/model/ModelFile.h"

namespace {

using kext::DeviceModel;
using kext::EndpointKind;

const std::string kExamples = KEXT_MODEL_EXAMPLES;

// A fresh folder, removed with what the test put there.
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/kext-model-test-XXXXXX";
        m_path = ::mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// The catalogue's round trip through text is CatalogueTest's sweep; here the files themselves.
TEST(ModelFileTest, TheExamplesLoadAndSurviveARoundTripThroughAFile)
{
    TempDir dir;
    for (const char* name : {"tarsel-recorder", "minimal"}) {
        SCOPED_TRACE(name);
        std::string error;
        const std::optional<DeviceModel> m = kext::loadModelFile(kExamples + "/" + name + ".ini", error);
        ASSERT_TRUE(m) << error;
        EXPECT_TRUE(error.empty());
        EXPECT_EQ(m->name, name);
        const std::string path = dir.file(std::string(name) + ".ini");
        ASSERT_TRUE(kext::saveModelFile(*m, path, error)) << error;
        const std::optional<DeviceModel> back = kext::loadModelFile(path, error);
        ASSERT_TRUE(back) << error;
        EXPECT_EQ(*back, *m);
    }
    std::string error;
    EXPECT_FALSE(kext::saveModelFile(*kext::findModel("tarsel-fs"), dir.file("no/such/dir/x.ini"), error));
    EXPECT_FALSE(error.empty());
}

TEST(ModelFileTest, TheRecorderExampleMeansWhatItsNotationSays)
{
    std::string error;
    const std::optional<DeviceModel> m = kext::loadModelFile(kExamples + "/tarsel-recorder.ini", error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(m->productId, 0x0042);
    ASSERT_EQ(m->configurations.size(), 2u);
    const kext::AlternateModel& range = m->configurations[0].interfaces.at(1).alternates.at(3);
    EXPECT_TRUE(range.continuous);
    EXPECT_EQ(range.rateMin, 44100u);
    EXPECT_EQ(range.rateMax, 96000u);
    EXPECT_EQ(range.endpoints, (std::vector<kext::EndpointModel>{{0x81, 156, EndpointKind::Isochronous}}));
    // Volumes are written in dB, held in 1/256 dB.
    ASSERT_EQ(m->inputControls.sources.size(), 2u);
    EXPECT_EQ(m->outputControls.sources.at(0).volumeCurrent, -6 * 256);
    EXPECT_EQ(m->inputControls.sources[0].volumeCurrent, 3200);
    EXPECT_EQ(m->inputControls.sources[0].volumeChannels, kext::kMasterVolumeOnly);
    EXPECT_EQ(kext::defaultSettings(*m), (VkChannelSettings{48000, 4, 24, 2, 24, 0}));
    EXPECT_TRUE(kext::canCarry(*m, {44100, 2, 16, 2, 16, 1}));
    EXPECT_FALSE(kext::canCarry(*m, {44100, 2, 24, 2, 24, 1}));
}

TEST(ModelFileTest, WhatAFileLeavesOutTakesTheDefaults)
{
    std::string error;
    const std::optional<DeviceModel> m = kext::loadModelFile(kExamples + "/minimal.ini", error);
    ASSERT_TRUE(m) << error;
    EXPECT_TRUE(m->highSpeed);
    EXPECT_EQ(m->interfaceVersion, kInterfaceVersion);
    EXPECT_EQ(m->outBandwidth + m->inBandwidth, kext::kIsochronousBudget);
    EXPECT_FALSE(m->canMonitor);
    EXPECT_TRUE(m->outputControls.sources.empty());
    EXPECT_EQ(m->outputControls.sourceMask, 0);
    EXPECT_EQ(m->altDeviceName, "");
    EXPECT_EQ(kext::defaultSettings(*m), (VkChannelSettings{48000, 2, 16, 0, 16, 0}));
    EXPECT_EQ(m->converterDelayAt(48000), 0u) << "an ideal interface";
}


const char* const kGood = R"([device]
name=good
vendor=0x7E10
product=2
manufacturer=Quenta Audio
device-name=Good
model-uid=good:1
[configuration 1]
[interface 1.1]
[alternate 1.1.0]
[alternate 1.1.1]
bits=24
channels=2
rates=44100;48000
endpoints=0x81:42
)";

// kGood with `from` replaced by `to`.
std::string edit(const std::string& from, const std::string& to)
{
    std::string text = kGood;
    const size_t at = text.find(from);
    if (at == std::string::npos)
        throw std::runtime_error("not in the good file: " + from);
    return text.replace(at, from.size(), to);
}

// The converters' delay is signed, and the rate's part counts per MHz; the sum stays within
// what the loopback can hold.
TEST(ModelFileTest, TheConvertersDelayIsSignedAndScaledByTheRate)
{
    std::string text = kGood;
    text.insert(text.find("[configuration 1]"), "converter-delay=-120\nconverter-delay-per-mhz=2000\n");
    std::string error;
    std::optional<DeviceModel> m = kext::parseModel(text, error);
    ASSERT_TRUE(m) << error;
    EXPECT_EQ(m->converterDelayAt(96000), 72u);
    EXPECT_EQ(m->converterDelayAt(44100), 0u) << "never below nothing";
    m->converterDelay = 65536;
    EXPECT_EQ(m->converterDelayAt(8000), 8000u) << "at most a second";
}

// What the file can say but the model must not be is validateModel's (DeviceModelTest); one case
// here shows a file goes through it.
TEST(ModelFileTest, BrokenFilesAreRefusedWithTheKeyAtFault)
{
    std::string error;
    ASSERT_TRUE(kext::parseModel(kGood, error)) << error;

    // One case or two of each part of the notation.
    const struct {
        const char* what;
        std::string text;
        const char* expected;
    } cases[] = {
        {"empty file", "", "[device]"},
        {"missing vendor", edit("vendor=0x7E10\n", ""), "[device] vendor: missing"},
        {"vendor too big", edit("vendor=0x7E10", "vendor=0x17E10"), "[device] vendor: '0x17E10'"},
        {"unknown key", edit("name=good", "name=good\ncolour=red"), "[device] colour: unknown key"},
        {"delay beyond the limit", edit("name=good", "name=good\nconverter-delay=-65537"), "[device] converter-delay:"},
        {"delay sign alone", edit("name=good", "name=good\nconverter-delay-per-mhz=-"), "[device] converter-delay-per-mhz:"},
        {"unknown group", std::string(kGood) + "[mixer]\n", "[mixer] unknown group"},
        {"alternate without interface", edit("[alternate 1.1.1]", "[alternate 1.2.1]"), "[alternate 1.2.1] comes before"},
        {"bad rate", edit("rates=44100;48000", "rates=44100;fast"), "[alternate 1.1.1] rates: 'fast'"},
        {"endpoint kind", edit("endpoints=0x81:42", "endpoints=0x81:42:interrupt"), "'interrupt'"},
        {"packet too small", edit("endpoints=0x81:42", "endpoints=0x81:20"), "no format"},
        {"control gap", std::string(kGood) + "[control.output.2]\nname=B\n", "[control.output.1] missing"},
        {"loud volume", std::string(kGood) + "[control.input.1]\nname=A\nvolume-min=-10\nvolume-max=10\nvolume=loud\n", "[control.input.1] volume: 'loud'"},
        {"NUL byte", std::string(kGood) + std::string("\0x", 2), "NUL"},
        {"invalid UTF-8", std::string(kGood) + "\xFF\xFE\n", "not a text file"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(kext::parseModel(c.text, why)) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
        EXPECT_NE(why.find(c.expected), std::string::npos) << c.what << ": " << why;
    }
}

TEST(ModelFileTest, UnreadableFilesGiveErrors)
{
    TempDir dir;
    std::string error;
    EXPECT_FALSE(kext::loadModelFile(dir.file("missing.ini"), error));
    EXPECT_NE(error.find("missing.ini"), std::string::npos) << error;

    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(kext::loadModelFile(fifo, error)); // must not block
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    // The file's size is checked before it is read.
    const std::string big = dir.file("big.ini");
    std::ofstream(big) << kGood << "# " << std::string(kext::kModelFileMax, 'x') << "\n";
    EXPECT_FALSE(kext::loadModelFile(big, error));
    EXPECT_NE(error.find(big + ": larger than"), std::string::npos) << error;

    const std::string broken = dir.file("broken.ini");
    std::ofstream(broken) << edit("bits=24", "bits=7");
    EXPECT_FALSE(kext::loadModelFile(broken, error));
    EXPECT_EQ(error.rfind(broken + ": [alternate 1.1.1] bits", 0), 0u) << error;
}

} // namespace
