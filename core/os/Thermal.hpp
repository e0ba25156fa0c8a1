#pragma once

#include <optional>
#include <string>

namespace noctave::os {

// The machine's temperature: the hottest CPU/SoC sensor and the limit its own firmware sets.
//
// Thread-safety: may be called from any thread. Nothing here logs; a read costs a few small
// file reads on Linux, so callers poll it only while a reading can change what they do.
class Thermal {
  public:
    virtual ~Thermal() = default;

    struct Reading {
        // The hottest sensor now, in degrees Celsius; no value when no sensor could be read.
        std::optional<double> celsius;
        // That sensor's critical trip point (else its hot one); no value when it has none.
        std::optional<double> criticalCelsius;
        // Which sensor it was ("x86_pkg_temp", "coretemp temp1"...), for the log.
        std::string sensor;
    };

    // False when the machine has no temperature sensor at all.
    virtual bool hasSensor() const = 0;
    virtual Reading read() const = 0;
};

}  // namespace noctave::os
