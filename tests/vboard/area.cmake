# vboard as a person uses it: bad input refused, exit codes.
add_dependencies(test_${area} vboard image-update-tool mkbin)
