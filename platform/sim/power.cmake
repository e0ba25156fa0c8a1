# Virtual power hardware: target_sources(noctave_platform_sim PRIVATE ...)
target_sources(noctave_platform_sim PRIVATE
  SimKernel.cpp
  SimPower.cpp
)
