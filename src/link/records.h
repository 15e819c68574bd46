// The values that travel to the programmers inside the chip parameter block
// and the job block, gathered from the chip, the job settings and the image.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kvx {

// The job options as captured from the main window (encoded values).
struct JobSettings {
    std::array<uint8_t, 6> jobFlags{};
    bool writeOptionAfter = false;
    bool includeNvm = false;
    uint8_t autoDetect = 0x00;       // 0x0F when enabled
    uint8_t insertSettle = 0;        // units of 30 ms
    uint8_t removeSettle = 0;        // units of 30 ms
    uint8_t powerUpSettle = 0;       // units of 10 ms
    uint8_t powerDownSettle = 0;     // units of 10 ms
    uint16_t runTime = 0;            // units of 10 ms
    uint8_t countLimitEnable = 0x00; // 0x0F when enabled
    uint32_t countLimit = 0;
    uint8_t snLength = 4;
    uint8_t snEnable = 0x00;         // 0x0F when enabled
    uint16_t snIncrement = 0;
    uint32_t snStart = 0;
    uint32_t snAddress = 0;
    // The host counts the serial number on after each chip that got it.
    bool snAdvance = false;
    // The job block's text fields: the chip's name and the product as the
    // window shows them.
    std::string chipNameText, productText;
};

// Image summaries as last computed (the checksum display) and the object-file
// checksum of the reader or the loaded project.
struct ImageSums {
    uint16_t flashCrc = 0;
    uint16_t flashAcc = 0;
    uint32_t flashAcc32 = 0;
    uint16_t nvmCrc = 0;
    uint16_t nvmAcc = 0;
    uint32_t fileChecksum = 0;
};

// Words a loaded project file carries through unchanged (chip parameter
// block offsets 8-9, 56-57 and 58-59); zero otherwise.
struct ProjectWords {
    uint16_t word8 = 0;
    uint16_t further1 = 0;  // offsets 56-57
    uint16_t further2 = 0;  // offsets 58-59
};

}  // namespace kvx
