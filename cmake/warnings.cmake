# Warnings for every target of the tree.
add_compile_options(-Wall -Wextra -Wno-unused-parameter)
