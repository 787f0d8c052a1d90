# Warnings on for every target of the project.
add_compile_options(-Wall -Wextra -Wformat=2 -Wno-unused-parameter)
