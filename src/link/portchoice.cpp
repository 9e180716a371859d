#include "portchoice.h"

namespace tallyo {

void choosePort(CounterLink &link, int portNumber)
{
    link.settleExchange();
    MSComm &comm = link.comm();
    if (comm.portOpen()) {
        comm.setPortOpen(false);
        comm.setCommPort(portNumber);
        comm.setPortOpen(true);
    } else {
        comm.setCommPort(portNumber);
    }
}

} // namespace tallyo
