// A test fixture for outputs at the bus seam: every test starts with the bus
// simulation on, empty and without warnings, and leaves it off again.
#pragma once

#include "host/core/Warnings.h"
#include "host/hw/BusSimulation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class SimulatedBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        BusSimulation::INSTANCE.Reset();
        BusSimulation::INSTANCE.Enable();
        WarningHolder::ClearWarnings();
    }
    void TearDown() override {
        BusSimulation::INSTANCE.Disable();
        BusSimulation::INSTANCE.Reset();
        WarningHolder::ClearWarnings();
    }
    // The bus events since the last call, as text.
    std::vector<std::string> events() {
        std::vector<std::string> t = BusSimulation::INSTANCE.EventTexts();
        BusSimulation::INSTANCE.ClearEvents();
        return t;
    }
};
