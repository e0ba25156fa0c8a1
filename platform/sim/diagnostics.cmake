# The virtual user and state report behind the unattended command-line checks.
target_sources(noctave_platform_sim PRIVATE
  SimLidUser.cpp
  SimStateReport.cpp
  SimSuspension.cpp
)
