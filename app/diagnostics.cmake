# The diagnostic commands.
target_sources(noctave_app PRIVATE
  DiagnosticCommands.cpp
  DiagnosticSupport.cpp
  SelfTest.cpp
  Diagnose.cpp
  DisconnectGuardCheck.cpp
)
