#include "EngineCommandType.h"

namespace {

const char* const kNames[EngineCommandTypeCount] = {
    "TogglePathNote", "AllNotesOffExceptHeld", "AllNotesOff", "DeselectAll", "ResetSelectedNodes",
    "ResetSelectedNodesAndDeselect", "ResetAlteredNodes", "ResetAlteredNodesAndDeselect", "ResetAllParameters",
    "ResetAllParametersAndDeselect", "NodeResetGlissOne", "NodeResetGlissTwo", "NodeResetGliss", "ReplaySelection",
    "SelectSounding", "TransposeByPrime", "VoiceVolumeAdd", "VoiceVolumeSet", "MasterVolumeAdd", "MasterVolumeSet",
    "SetMonophonic", "PatchStep", "SetBaseFrequency", "TogglePrime", "SetMacro1", "SetMacro2", "SetMacro3",
    "SetMacro4", "SetMacro5", "SetMacro6", "SetMacro7", "SetMacro8", "SetGlissOne", "SetGlissTwo",
    "ToggleRatioNote", "RemoveNode", "TransposeByRatio", "ToggleNodeSelection", "ResetNode", "NodesRecalled",
    "SetHold", "OpenPatch", "ClosePatch",
};

} // namespace

const char* engineCommandTypeName(qint32 type)
{
    return type >= 0 && type < EngineCommandTypeCount ? kNames[type] : nullptr;
}
