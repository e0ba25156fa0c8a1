# The diagnostic commands.
