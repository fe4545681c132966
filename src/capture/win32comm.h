#pragma once

// The Win32 communications calls the Windows port layer makes, gathered in
// one table, so that a test can answer them as a scripted driver would and
// drive the real layer through every answer a driver may give. The program
// calls the system's own functions through it: one indirect call per call,
// none per byte.
#include <windows.h>

struct Win32Comm
{
    decltype(&::CreateFileW) createFile = &::CreateFileW;
    decltype(&::GetCommState) getCommState = &::GetCommState;
    decltype(&::SetCommState) setCommState = &::SetCommState;
    decltype(&::GetCommTimeouts) getCommTimeouts = &::GetCommTimeouts;
    decltype(&::SetCommTimeouts) setCommTimeouts = &::SetCommTimeouts;
    decltype(&::SetCommMask) setCommMask = &::SetCommMask;
    decltype(&::WaitCommEvent) waitCommEvent = &::WaitCommEvent;
    decltype(&::ClearCommError) clearCommError = &::ClearCommError;
    decltype(&::ReadFile) readFile = &::ReadFile;
    decltype(&::GetOverlappedResult) getOverlappedResult = &::GetOverlappedResult;
    decltype(&::CancelIoEx) cancelIoEx = &::CancelIoEx;
    decltype(&::CloseHandle) closeHandle = &::CloseHandle;
};

// The table every port opened from now on calls through. A test replaces it
// while no port is open and puts the system's back when it is done.
Win32Comm &win32Comm();
