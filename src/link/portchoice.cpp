#include "portchoice.h"

namespace tallyo {

void choosePort(MSComm &comm, int portNumber)
{
    if (comm.portOpen()) {
        comm.setPortOpen(false);
        comm.setCommPort(portNumber);
        comm.setPortOpen(true);
    } else {
        comm.setCommPort(portNumber);
    }
}

} // namespace tallyo
