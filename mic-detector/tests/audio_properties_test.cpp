// The three property reads against the simulated audio layer, with every fault it can play.
#include "audio_properties.h"

#include <gtest/gtest.h>

#include "simulated_audio_layer.h"

namespace micdetector {
namespace {

using testing::SimulatedAudioLayer;
using Operation = SimulatedAudioLayer::Operation;
using Ids = std::vector<AudioObjectID>;

constexpr auto kGlobal = kAudioObjectPropertyScopeGlobal;
constexpr auto kInput = kAudioObjectPropertyScopeInput;

TEST(DetectorError, DescriptionsUseDecimalSelectorsAndSignedStatuses) {
  EXPECT_EQ(kAudioHardwarePropertyProcessObjectList, 1886548771u);
  EXPECT_EQ(kAudioProcessPropertyIsRunningInput, 1885958761u);
  EXPECT_EQ(kAudioProcessPropertyPID, 1886415204u);
  EXPECT_EQ(kAudioProcessPropertyDevices, 1885632035u);
  EXPECT_EQ(kAudioDevicePropertyDeviceUID, 1969841184u);
  EXPECT_EQ(kAudioObjectPropertyName, 1819173229u);
  EXPECT_EQ(kAudioProcessPropertyBundleID, 1885497700u);
  EXPECT_EQ(kGlobal, 1735159650u);
  EXPECT_EQ(kInput, 1768845428u);

  EXPECT_EQ(DetectorError::propertyUnavailable(1886548771).errorDescription(),
            "Audio property unavailable for selector 1886548771");
  EXPECT_EQ(DetectorError::osStatus(1885958761, 560947818).errorDescription(),
            "CoreAudio call failed for selector 1885958761 with status 560947818");
  EXPECT_EQ(DetectorError::osStatus(1886415204, -50).errorDescription(),
            "CoreAudio call failed for selector 1886415204 with status -50");
  EXPECT_EQ(DetectorError::osStatus(4294967295u, -2147483647 - 1).errorDescription(),
            "CoreAudio call failed for selector 4294967295 with status -2147483648");
}

TEST(GetObjectIDs, FailsWithTheSelectorWhenThePropertyIsMissingOrUnreadable) {
  SimulatedAudioLayer audio;
  EXPECT_EQ(getObjectIDs(audio, 1, kAudioHardwarePropertyProcessObjectList, kGlobal).error(),
            DetectorError::propertyUnavailable(kAudioHardwarePropertyProcessObjectList));
  // Only the has-property question was asked.
  EXPECT_EQ(audio.reads.size(), 1u);

  audio.setList(5, kAudioProcessPropertyDevices, kInput, {7, 8});
  // The scope is part of the address.
  EXPECT_EQ(getObjectIDs(audio, 5, kAudioProcessPropertyDevices, kGlobal).error(),
            DetectorError::propertyUnavailable(kAudioProcessPropertyDevices));
  EXPECT_EQ(*getObjectIDs(audio, 5, kAudioProcessPropertyDevices, kInput), (Ids{7, 8}));

  audio.failSizeRead(5, kAudioProcessPropertyDevices, kInput, -50);
  EXPECT_EQ(getObjectIDs(audio, 5, kAudioProcessPropertyDevices, kInput).error(),
            DetectorError::osStatus(kAudioProcessPropertyDevices, -50));
  audio.failSizeRead(5, kAudioProcessPropertyDevices, kInput, 0);
  audio.failDataRead(5, kAudioProcessPropertyDevices, kInput, 2003332927);
  EXPECT_EQ(getObjectIDs(audio, 5, kAudioProcessPropertyDevices, kInput).error(),
            DetectorError::osStatus(kAudioProcessPropertyDevices, 2003332927));
}

TEST(GetObjectIDs, ShortValuesGiveAnEmptyListWithoutADataRead) {
  SimulatedAudioLayer audio;
  audio.setList(1, kAudioHardwarePropertyProcessObjectList, kGlobal, {});
  audio.failDataRead(1, kAudioHardwarePropertyProcessObjectList, kGlobal, -1);
  EXPECT_EQ(*getObjectIDs(audio, 1, kAudioHardwarePropertyProcessObjectList, kGlobal), Ids{});
  for (const auto& read : audio.reads) EXPECT_NE(read.operation, Operation::data);
}

TEST(GetObjectIDs, KeepsOnlyTheEntriesTheReadFilled) {
  SimulatedAudioLayer audio;
  // Shrinking between the size read and the data read: no phantom object 0 at the end.
  audio.setList(1, kAudioHardwarePropertyProcessObjectList, kGlobal, {10, 11, 12, 13});
  audio.changeListAfterSizeRead(1, kAudioHardwarePropertyProcessObjectList, kGlobal, {10, 12});
  EXPECT_EQ(*getObjectIDs(audio, 1, kAudioHardwarePropertyProcessObjectList, kGlobal),
            (Ids{10, 12}));
  // To nothing at all.
  audio.changeListAfterSizeRead(1, kAudioHardwarePropertyProcessObjectList, kGlobal, {});
  EXPECT_EQ(*getObjectIDs(audio, 1, kAudioHardwarePropertyProcessObjectList, kGlobal), Ids{});

  // Growing: the buffer holds what was sized; the rest waits for the next poll.
  audio.setList(1, kAudioHardwarePropertyProcessObjectList, kGlobal, {10});
  audio.changeListAfterSizeRead(1, kAudioHardwarePropertyProcessObjectList, kGlobal, {20, 21, 22});
  EXPECT_EQ(*getObjectIDs(audio, 1, kAudioHardwarePropertyProcessObjectList, kGlobal), (Ids{20}));
  EXPECT_EQ(*getObjectIDs(audio, 1, kAudioHardwarePropertyProcessObjectList, kGlobal),
            (Ids{20, 21, 22}));
  // A real zero in the list is kept: only unfilled entries go.
  audio.setList(1, kAudioHardwarePropertyProcessObjectList, kGlobal, {0, 4});
  EXPECT_EQ(*getObjectIDs(audio, 1, kAudioHardwarePropertyProcessObjectList, kGlobal), (Ids{0, 4}));
}

TEST(PropertyReads, ValuesAndTextsWithTheirFailures) {
  SimulatedAudioLayer audio;
  audio.setUInt32(9, kAudioProcessPropertyPID, 0xFFFFFFFF);
  EXPECT_EQ(*getUInt32Property(audio, 9, kAudioProcessPropertyPID), 0xFFFFFFFFu);
  // No has-property question before a 32-bit read: a missing one fails with the read's status.
  audio.reads.clear();
  EXPECT_EQ(getUInt32Property(audio, 9, kAudioProcessPropertyIsRunningInput).error(),
            kAudioHardwareUnknownPropertyError);
  ASSERT_EQ(audio.reads.size(), 1u);
  EXPECT_EQ(audio.reads[0].operation, Operation::data);
  audio.setUInt32(9, kAudioProcessPropertyIsRunningInput, 1);
  audio.failDataRead(9, kAudioProcessPropertyIsRunningInput, kGlobal, -66);
  EXPECT_EQ(getUInt32Property(audio, 9, kAudioProcessPropertyIsRunningInput).error(), -66);

  audio.setText(3, kAudioDevicePropertyDeviceUID, "usb/1");
  EXPECT_EQ(getTextProperty(audio, 3, kAudioDevicePropertyDeviceUID), "usb/1");
  // Every failure of a text read is "nothing"; a null or untouched text is empty.
  EXPECT_EQ(getTextProperty(audio, 3, kAudioObjectPropertyName), std::nullopt);
  audio.setNullText(3, kAudioObjectPropertyName);
  EXPECT_EQ(getTextProperty(audio, 3, kAudioObjectPropertyName), "");
  audio.setUntouchedText(3, kAudioObjectPropertyName);
  EXPECT_EQ(getTextProperty(audio, 3, kAudioObjectPropertyName), "");
  audio.failDataRead(3, kAudioDevicePropertyDeviceUID, kGlobal, -1);
  EXPECT_EQ(getTextProperty(audio, 3, kAudioDevicePropertyDeviceUID), std::nullopt);
}

}  // namespace
}  // namespace micdetector
