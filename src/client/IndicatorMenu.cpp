#include "client/IndicatorMenu.h"

#include "client/TarviQenClient.h"

std::vector<IndicatorMenuItem> BuildIndicatorMenu(int listenPort, bool windowVisible,
                                                  bool exitAllowed)
{
    const IndicatorMenuItem separator{"", 0, true, true};
    return {
        {std::string(CClientApplication::PRODUCT_NAME) + " v" + CClientApplication::VERSION, 0,
         true, false},
        {"Servicing TCP Port " + std::to_string(listenPort), 0, true, false},
        separator,
        {windowVisible ? "Hide &Indicator" : "Show &Indicator", ID_INDICATOR_TOGGLE, true, false},
        separator,
        {"E&xit", ID_INDICATOR_EXIT, exitAllowed, false},
    };
}
