#pragma once

#include <QtGlobal>

// The numbers of the engine's commands. They travel in controller tables and
// between threads as plain integers, so the values never change.
enum EngineCommandType : qint32 {
    TogglePathNote = 0,
    AllNotesOffExceptHeld = 1,
    AllNotesOff = 2,
    DeselectAll = 3,
    ResetSelectedNodes = 4,
    ResetSelectedNodesAndDeselect = 5,
    ResetAlteredNodes = 6,
    ResetAlteredNodesAndDeselect = 7,
    ResetAllParameters = 8,
    ResetAllParametersAndDeselect = 9,
    NodeResetGlissOne = 10,
    NodeResetGlissTwo = 11,
    NodeResetGliss = 12,
    ReplaySelection = 13,
    SelectSounding = 14,
    TransposeByPrime = 15,
    VoiceVolumeAdd = 16,
    VoiceVolumeSet = 17,
    MasterVolumeAdd = 18,
    MasterVolumeSet = 19,
    SetMonophonic = 20,
    PatchStep = 21,
    SetBaseFrequency = 22,
    TogglePrime = 23,
    SetMacro1 = 24,
    SetMacro2 = 25,
    SetMacro3 = 26,
    SetMacro4 = 27,
    SetMacro5 = 28,
    SetMacro6 = 29,
    SetMacro7 = 30,
    SetMacro8 = 31,
    SetGlissOne = 32,
    SetGlissTwo = 33,
    ToggleRatioNote = 34,
    RemoveNode = 35,
    TransposeByRatio = 36,
    ToggleNodeSelection = 37,
    ResetNode = 38,
    NodesRecalled = 39,
    SetHold = 40,
    OpenPatch = 41,
    ClosePatch = 42,
};

constexpr int EngineCommandTypeCount = 43;

// The name of a command type, or nullptr outside 0..42.
const char* engineCommandTypeName(qint32 type);
