# Virtual gesture hardware: target_sources(noctave_platform_sim PRIVATE ...)
target_sources(noctave_platform_sim PRIVATE
  SimHinge.cpp
  SimKeyboard.cpp
)
