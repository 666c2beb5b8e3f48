// The "GPIO" command; its state between runs lives in GPIOManager::INSTANCE.
#include "gpio_command.h"

#include "host/hw/Pins.h"
#include "gpio.h"

TavoGPIOCommand::TavoGPIOCommand() : Command("GPIO") {
    args.push_back(CommandArg("pin", "string", "Pin").setContentListUrl("api/options/GPIOLIST"));
    args.push_back(CommandArg("on", "string", "Action").setContentList({"On", "Off", "Opposite"}));
}

std::unique_ptr<Command::Result> TavoGPIOCommand::run(const std::vector<std::string>& args) {
    if (args.size() != 2) {
        return std::make_unique<ErrorResult>("Invalid number of arguments. GPIO needs two arguments.");
    }
    const std::string& pinName = args[0];
    const std::string& action = args[1];
    const PinCapabilities* pin = PinCapabilities::getPinByName(pinName).ptr();
    if (pin == nullptr) {
        return std::make_unique<ErrorResult>("No Pin Named " + pinName);
    }
    GPIOManager& manager = GPIOManager::INSTANCE;
    std::lock_guard<std::mutex> lock(manager.outputLock);
    // Configured before the action is looked at, as users of the command expect, and
    // only once: each request of the line drives it low, a pulse a relay would follow.
    std::set<const PinCapabilities*>& outputs = manager.outputPins;
    if (outputs.insert(pin).second && !pin->configPin("gpio", true, "")) {
        outputs.erase(pin);
    }
    std::map<std::string, bool>& states = manager.outputStates;
    if (action == "On" || action == "on" || action == "true" || action == "True" || action == "1") {
        pin->setValue(true);
        states[pinName] = true;
    } else if (action == "Off" || action == "off" || action == "false" || action == "False" ||
               action == "0") {
        pin->setValue(false);
        states[pinName] = false;
    } else if (action == "Opposite" || action == "opposite") {
        bool value = !states[pinName];
        states[pinName] = value;
        pin->setValue(value);
    } else {
        return std::make_unique<ErrorResult>("Invalid Action" + action);
    }
    return std::make_unique<Result>("OK", "text/plain");
}
