#pragma once

// Whether the JACK server that this process's JACK clients were opened on
// still answers. libjack is looked up only if the process has loaded it
// already (PortAudio's JACK host does), so nothing links against JACK.
class JackProbe
{
public:
    // True where libjack is not loaded, or where the server lets a client in.
    static bool serverAnswers();
};
