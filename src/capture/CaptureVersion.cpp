// placeholder until the capture layer lists its own sources
