# Virtual http hardware: target_sources(noctave_platform_sim PRIVATE ...)
target_sources(noctave_platform_sim PRIVATE
  SimHttpClient.cpp
)
