#pragma once

// Where the engine hands its per-voice instructions, on the audio thread.
// Parameter 1 retunes every listed voice and starts voices[0]; 2 retunes the
// listed voices (a gliss step); -1 stops voices[0]. value1 holds each voice's
// frequency in hertz, value2 its velocity from 0 to 1. The arrays hold `count`
// entries and belong to the caller. An implementation must not block,
// allocate or log.
class InstructionSink
{
public:
    virtual ~InstructionSink() = default;
    virtual void receiveInstructions(int parameter, const int* voices, const float* value1, const float* value2,
                                     int count)
        = 0;
};
