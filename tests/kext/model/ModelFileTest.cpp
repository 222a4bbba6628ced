// Model files: the examples load as written, a model survives its file, and broken files are
// refused with the key at fault (random damage is the model-file fuzz target's).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "kext/model/Catalogue.h"
#include "kext/model/ModelFile.h"

namespace {

using kext::DeviceModel;
using kext::EndpointKind;

const std::string kExamples = KEXT_MODEL_EXAMPLES;

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/kext-model-test-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        m_path = made ? made : "";
    }
    ~TempDir()
    {
        for (const std::string& f : m_files)
            ::unlink(f.c_str());
        ::rmdir(m_path.c_str());
    }
    std::string file(const std::string& name)
    {
        m_files.push_back(m_path + "/" + name);
        return m_files.back();
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::vector<std::string> m_files;
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
    EXPECT_FALSE(kext::saveModelFile(*kext::findModel("tarsel-fs"), dir.path() + "/no/such/dir/x.ini", error));
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

    std::string seventeenRates = "rates=";
    for (int r = 0; r < 17; ++r)
        seventeenRates += std::to_string(8000 + r) + ";";
    std::string seventeenAlternates;
    for (int a = 2; a <= 17; ++a)
        seventeenAlternates += "[alternate 1.1." + std::to_string(a) + "]\n";

    const struct {
        const char* what;
        std::string text;
        const char* expected;
    } cases[] = {
        {"empty file", "", "[device]"},
        {"device not first", "[configuration 1]\n" + std::string(kGood), "start with the group [device]"},
        {"missing name", edit("name=good\n", ""), "[device] name: missing"},
        {"missing vendor", edit("vendor=0x7E10\n", ""), "[device] vendor: missing"},
        {"vendor too big", edit("vendor=0x7E10", "vendor=0x17E10"), "[device] vendor: '0x17E10'"},
        {"vendor not a number", edit("vendor=0x7E10", "vendor=12ab"), "[device] vendor"},
        {"negative product", edit("product=2", "product=-2"), "[device] product"},
        {"empty number", edit("product=2", "product="), "[device] product"},
        {"huge number", edit("product=2", "product=99999999999999999999999"), "[device] product"},
        {"bad boolean", edit("name=good", "name=good\nhigh-speed=maybe"), "[device] high-speed"},
        {"unknown key", edit("name=good", "name=good\ncolour=red"), "[device] colour: unknown key"},
        {"delay beyond the limit", edit("name=good", "name=good\nconverter-delay=-65537"), "[device] converter-delay:"},
        {"delay sign alone", edit("name=good", "name=good\nconverter-delay-per-mhz=-"), "[device] converter-delay-per-mhz:"},
        {"localised key", edit("name=good", "name=good\ndevice-name[de]=Gut"), "unknown key"},
        {"unknown group", std::string(kGood) + "[mixer]\n", "[mixer] unknown group"},
        {"bad escape", edit("device-name=Good", "device-name=Go\\qod"), "[device] device-name"},
        {"interface without configuration", edit("[configuration 1]\n", ""), "[interface 1.1] comes before"},
        {"alternate without interface", edit("[alternate 1.1.1]", "[alternate 1.2.1]"), "[alternate 1.2.1] comes before"},
        {"malformed group", edit("[alternate 1.1.1]", "[alternate 1.1]"), "unknown group"},
        {"group number too big", edit("[alternate 1.1.1]", "[alternate 1.1.256]"), "unknown group"},
        {"group number with a leading zero", edit("[alternate 1.1.1]", "[alternate 1.1.01]"), "unknown group"},
        {"group number with sign", edit("[alternate 1.1.1]", "[alternate 1.1.+1]"), "unknown group"},
        {"configuration zero", edit("[configuration 1]\n[interface 1.1]\n[alternate 1.1.0]\n[alternate 1.1.1]",
                                    "[configuration 0]\n[interface 0.1]\n[alternate 0.1.0]\n[alternate 0.1.1]"),
         "[configuration 0]"},
        {"bits not a number", edit("bits=24", "bits=abc"), "[alternate 1.1.1] bits"},
        {"missing channels", edit("channels=2\n", ""), "[alternate 1.1.1] channels: missing"},
        {"no channels but rates", edit("channels=2", "channels=0"), "[alternate 1.1.1] channels"},
        {"seventeen rates", edit("rates=44100;48000", seventeenRates), "[alternate 1.1.1] rates: at most 16"},
        {"rates and range", edit("rates=44100;48000", "rates=44100\nrange=8000;48000"), "[alternate 1.1.1] rates"},
        {"no rates", edit("rates=44100;48000\n", ""), "[alternate 1.1.1] rates"},
        {"range of three", edit("rates=44100;48000", "range=8000;16000;48000"), "[alternate 1.1.1] range"},
        {"bad rate", edit("rates=44100;48000", "rates=44100;fast"), "[alternate 1.1.1] rates: 'fast'"},
        {"seventeen alternates", std::string(kGood) + seventeenAlternates, "at most 16 alternate settings"},
        {"endpoint without size", edit("endpoints=0x81:42", "endpoints=0x81"), "[alternate 1.1.1] endpoints: '0x81'"},
        {"endpoint kind", edit("endpoints=0x81:42", "endpoints=0x81:42:interrupt"), "'interrupt'"},
        {"four endpoints", edit("endpoints=0x81:42", "endpoints=0x81:42;0x82:4;0x83:4;0x84:4"), "at most 3 endpoints"},
        {"packet too small", edit("endpoints=0x81:42", "endpoints=0x81:20"), "no format"},
        {"control gap", std::string(kGood) + "[control.output.2]\nname=B\n", "[control.output.1] missing"},
        {"control number", std::string(kGood) + "[control.input.9]\nname=B\n", "numbered 1 to 8"},
        {"control without name", std::string(kGood) + "[control.input.1]\nmute=false\n", "[control.input.1] name: missing"},
        {"volume without max", std::string(kGood) + "[control.input.1]\nname=A\nvolume-min=-10\n", "[control.input.1] volume-max: missing"},
        {"loud volume", std::string(kGood) + "[control.input.1]\nname=A\nvolume-min=-10\nvolume-max=10\nvolume=loud\n", "[control.input.1] volume: 'loud'"},
        {"volume out of range", std::string(kGood) + "[control.input.1]\nname=A\nvolume-min=-200\nvolume-max=0\n", "[control.input.1] volume-min"},
        {"volume channels", std::string(kGood) + "[control.input.1]\nname=A\nvolume-channels=all\n", "[control.input.1] volume-channels"},
        {"nine volume channels", std::string(kGood) + "[control.input.1]\nname=A\nvolume-channels=9\n", "[control.input.1] volume-channels: '9'"},
        {"key before group", "name=x\n" + std::string(kGood), ""},
        {"NUL byte", std::string(kGood) + std::string("\0x", 2), "NUL"},
        {"invalid UTF-8", std::string(kGood) + "\xFF\xFE\n", "not a text file"},
        {"binary garbage", std::string("\x7F" "ELF\x02\x01\x01\x00\x00", 9), ""},
        {"too large", std::string(kGood) + "# " + std::string(kext::kModelFileMax, 'x') + "\n", "larger than"},
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
    EXPECT_FALSE(kext::loadModelFile(dir.path() + "/missing.ini", error));
    EXPECT_NE(error.find("missing.ini"), std::string::npos) << error;

    EXPECT_FALSE(kext::loadModelFile(dir.path(), error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

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
